#include "support/report_capture.h"

#include <algorithm>

namespace sonaflux::test {

namespace {
void Discard(ReportKind, const char*, void*) {}
}  // namespace

void DiscardReports() {
    SetReportHook(&Discard, nullptr);
}

ReportCapture::ReportCapture() {
    SetReportHook(&ReportCapture::Hook, this);
}
ReportCapture::~ReportCapture() {
    DiscardReports();
}

void ReportCapture::Hook(ReportKind kind, const char* text, void* self) {
    auto* capture = static_cast<ReportCapture*>(self);
    std::lock_guard<std::mutex> lock(capture->m_Mutex);
    capture->m_Reports.push_back(Report{kind, text});
}

std::vector<Report> ReportCapture::All() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Reports;
}

std::vector<std::string> ReportCapture::Boxes() const {
    std::vector<std::string> out;
    for (const Report& r : All()) {
        if (r.kind == ReportKind::Box) out.push_back(r.text);
    }
    return out;
}

std::vector<std::string> ReportCapture::DebugLines() const {
    std::vector<std::string> out;
    for (const Report& r : All()) {
        if (r.kind == ReportKind::Debug) out.push_back(r.text);
    }
    return out;
}

int ReportCapture::CountBox(const std::string& text) const {
    const auto boxes = Boxes();
    return static_cast<int>(std::count(boxes.begin(), boxes.end(), text));
}

int ReportCapture::CountDebug(const std::string& text) const {
    const auto lines = DebugLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

void ReportCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Reports.clear();
}

}  // namespace sonaflux::test
