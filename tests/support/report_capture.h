// Captures the module's error boxes and debugger lines for the life of the object.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/diagnostics.h"

namespace sonaflux::test {

struct Report {
    ReportKind kind;
    std::string text;
};

// Sends every report nowhere: the state of a test program between captures.
void DiscardReports();

class ReportCapture {
public:
    ReportCapture();
    ~ReportCapture();
    ReportCapture(const ReportCapture&) = delete;
    ReportCapture& operator=(const ReportCapture&) = delete;

    std::vector<Report> All() const;
    std::vector<std::string> Boxes() const;
    std::vector<std::string> DebugLines() const;
    // Number of boxes / debugger lines whose text equals `text`.
    int CountBox(const std::string& text) const;
    int CountDebug(const std::string& text) const;
    void Clear();

private:
    static void Hook(ReportKind kind, const char* text, void* self);
    mutable std::mutex m_Mutex;
    std::vector<Report> m_Reports;
};

}  // namespace sonaflux::test
