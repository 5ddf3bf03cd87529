// Module entry, module interface and play-info table, seen from the host.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "base/messages.h"

#include "base/module_timer.h"
#include "config/module_options.h"
#include "host/module_object.h"
#include "host/play_info.h"
#include "sonaflux/sonaflux.h"
#include "support/module_reset.h"
#include "support/report_capture.h"
#include "support/vtable.h"

namespace sonaflux {
namespace {

using test::CallSlot;

void ExpectBytes(const GUID& id, const unsigned char (&bytes)[16]) {
    EXPECT_EQ(std::memcmp(&id, bytes, 16), 0);
}

TEST(HostIdentifiers, HaveTheirMemoryLayout) {
    ExpectBytes(IID_MusicModule, {0x0E, 0x57, 0x46, 0x2C, 0x95, 0x46, 0xBB, 0x40, 0x9F, 0x89, 0xD8,
                                  0x90, 0x48, 0xAF, 0x70, 0x27});
    ExpectBytes(IID_MusicVolumeControl, {0x8E, 0xE7, 0x7A, 0x97, 0xDA, 0xAE, 0x2E, 0x47, 0x8D, 0xE8,
                                         0x9B, 0xEB, 0x3D, 0xA6, 0x96, 0xDC});
    ExpectBytes(IID_MusicTimeInfo, {0x24, 0x5E, 0xEF, 0xBB, 0x78, 0x82, 0xD4, 0x11, 0xBE, 0xB2,
                                    0x00, 0xC0, 0xF6, 0xB0, 0xE9, 0xBE});
    ExpectBytes(IID_MusicSampleInfo, {0x86, 0x85, 0xBD, 0x68, 0x8D, 0x58, 0xEB, 0x45, 0x86, 0x25,
                                      0x2B, 0xFA, 0x04, 0x8A, 0x51, 0xE2});
}

class HostModule : public ::testing::Test {
protected:
    void SetUp() override {
        module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override { test::ResetModule(module); }
    MusicModule* module = nullptr;
    test::ReportCapture reports;
};

TEST_F(HostModule, CreateInterfaceAnswersTheModuleAndItsDiagnosticsOnly) {
    EXPECT_EQ(CreateInterface(&IID_MusicModule), static_cast<void*>(module));
    EXPECT_EQ(CreateInterface(&IID_MusicDiagnostics), module->GetInterface(&IID_MusicDiagnostics));
    EXPECT_EQ(CreateInterface(&IID_MusicVolumeControl), nullptr);
    EXPECT_EQ(CreateInterface(nullptr), nullptr);
    GUID almost = IID_MusicModule;
    almost.Data4[7] ^= 1;
    EXPECT_EQ(CreateInterface(&almost), nullptr);
    EXPECT_TRUE(reports.All().empty());
}

TEST_F(HostModule, GetInterfaceAnswersTheVolumeControlAndTheDiagnostics) {
    void* volume = module->GetInterface(&IID_MusicVolumeControl);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(module->GetInterface(&IID_MusicVolumeControl), volume);
    void* diagnostics = module->GetInterface(&IID_MusicDiagnostics);
    ASSERT_NE(diagnostics, nullptr);
    EXPECT_NE(diagnostics, volume);
    EXPECT_EQ(module->GetInterface(&IID_MusicModule), nullptr);
    EXPECT_EQ(module->GetInterface(&IID_MusicTimeInfo), nullptr);
    EXPECT_EQ(module->GetInterface(nullptr), nullptr);
}

// What a host's message callback heard, in order.
struct HeardMessages {
    std::mutex mutex;
    std::vector<MusicMessage> messages;  // the strings below, kept alive
    std::vector<std::string> ids, cp932, utf8;

    static void SONAFLUX_CALL Hear(void* self, const MusicMessage* m) {
        auto& h = *static_cast<HeardMessages*>(self);
        const std::lock_guard<std::mutex> lock(h.mutex);
        h.messages.push_back(*m);
        h.ids.emplace_back(m->id);
        h.cp932.emplace_back(m->cp932);
        h.utf8.emplace_back(m->utf8);
    }
};

TEST_F(HostModule, DiagnosticsRouteEveryMessageWithItsIdInBothEncodings) {
    auto* diagnostics = static_cast<MusicDiagnostics*>(module->GetInterface(&IID_MusicDiagnostics));
    HeardMessages heard;
    diagnostics->SetMessageCallback(&HeardMessages::Hear, &heard);
    EXPECT_TRUE(diagnostics->GetShowBoxes());

    // A box (a load without a device): routed, and still shown.
    EXPECT_FALSE(module->GetPlayer(0)->Load(0));
    ASSERT_EQ(heard.messages.size(), 1u);
    EXPECT_EQ(heard.messages[0].severity, MusicMessage::kBox);
    EXPECT_EQ(heard.ids[0], "NoDirectSound");
    EXPECT_EQ(heard.cp932[0], msg::kNoDirectSound);
    EXPECT_EQ(heard.utf8[0], "DirectSoundのインターフェイスの取得に失敗しました");
    EXPECT_EQ(reports.Boxes(), std::vector<std::string>{msg::kNoDirectSound});

    // Boxes off: the host still hears it, nothing is shown.
    diagnostics->SetShowBoxes(false);
    EXPECT_FALSE(diagnostics->GetShowBoxes());
    EXPECT_FALSE(module->GetPlayer(0)->Load(0));
    ASSERT_EQ(heard.messages.size(), 2u);
    EXPECT_EQ(heard.ids[1], "NoDirectSound");
    EXPECT_EQ(reports.Boxes().size(), 1u);

    // Release hands the route back: no callback, boxes shown again.
    module->Release();
    EXPECT_TRUE(diagnostics->GetShowBoxes());
    EXPECT_FALSE(module->GetPlayer(0)->Load(0));
    EXPECT_EQ(heard.messages.size(), 2u);
    EXPECT_EQ(reports.Boxes().size(), 2u);
}

TEST(HostMessages, EveryTextHasItsOwnId) {
    std::set<std::string> ids;
    for (const msg::Named& named : msg::kAll) {
        EXPECT_STREQ(MessageId(named.text), named.id);
        EXPECT_TRUE(ids.insert(named.id).second) << named.id;
    }
    EXPECT_STREQ(MessageId("not a message of the module"), "");
}

class FakeTimer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return 777; }
};

TEST_F(HostModule, OperationsStandInTheirSlots) {
    void* m = module;
    EXPECT_EQ(CallSlot<int32_t>(m, 0), 1);  // Acquire
    EXPECT_EQ(CallSlot<int32_t>(m, 1), 0);  // Release
    auto* device = reinterpret_cast<IDirectSound*>(&reports);
    EXPECT_TRUE(CallSlot<bool>(m, 2, device));  // SetDirectSound
    EXPECT_FALSE(CallSlot<bool>(m, 2, static_cast<IDirectSound*>(nullptr)));
    EXPECT_TRUE(CallSlot<bool>(m, 3, 4, "x.wav", 10, 20));  // SetPlayInfo
    PlayInfo info;
    EXPECT_TRUE(static_cast<ModuleObject*>(module)->PlayInfos().GetPlayInfo(4, info));
    EXPECT_EQ(info.m_FileName, "x.wav");
    CallSlot<void>(m, 4, true);   // SetShortBufferDesc
    CallSlot<void>(m, 5, false);  // SetSoftwareBuffer
    CallSlot<void>(m, 6, false);  // SetKeepPriority
    EXPECT_TRUE(Options().shortBufferDesc);
    EXPECT_FALSE(Options().softwareBuffer);
    EXPECT_FALSE(Options().keepPriority);
    FakeTimer timer;
    CallSlot<void>(m, 7, static_cast<ITimer*>(&timer));  // SetTimer
    EXPECT_EQ(TimerNow(), 777u);
    EXPECT_EQ(CallSlot<MusicPlayer*>(m, 8, -1), nullptr);           // GetPlayer
    void* volume = CallSlot<void*>(m, 9, &IID_MusicVolumeControl);  // GetInterface
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(CallSlot<double>(volume, 0), 1.0);   // GetMasterVolume
    EXPECT_TRUE(CallSlot<bool>(volume, 1, 0.25));  // SetMasterVolume
    EXPECT_EQ(CallSlot<double>(volume, 0), 0.25);
}

TEST_F(HostModule, OptionsAndMasterVolumeStartAtTheirDefaults) {
    auto* volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));
    EXPECT_EQ(volume->GetMasterVolume(), 1.0);
    EXPECT_FALSE(Options().shortBufferDesc);
    EXPECT_TRUE(Options().softwareBuffer);
    EXPECT_TRUE(Options().keepPriority);
    EXPECT_TRUE(volume->SetMasterVolume(7.5));  // no range check
    EXPECT_EQ(volume->GetMasterVolume(), 7.5);
}

TEST_F(HostModule, ReleaseEmptiesTheTableAndCanBeRepeated) {
    ASSERT_TRUE(module->SetPlayInfo(0, "a.wav", 0, 100));
    EXPECT_EQ(module->Release(), 0);
    PlayInfo info;
    EXPECT_FALSE(static_cast<ModuleObject*>(module)->PlayInfos().GetPlayInfo(0, info));
    EXPECT_EQ(static_cast<ModuleObject*>(module)->PlayInfos().SlotCount(), 0u);
    EXPECT_EQ(module->Release(), 0);
    EXPECT_TRUE(module->SetPlayInfo(0, "b.wav", 0, 100));  // still usable
}

TEST(HostPlayInfo, GrowsToIndexPlusTenOnlyWhenNeeded) {
    PlayInfoTable table;
    EXPECT_EQ(table.SlotCount(), 0u);
    ASSERT_TRUE(table.SetPlayInfo(0, "zero.wav", 0, 10));
    EXPECT_EQ(table.SlotCount(), 10u);
    PlayInfo info;
    for (int i = 1; i < 10; ++i) EXPECT_FALSE(table.GetPlayInfo(i, info)) << i;
    ASSERT_TRUE(table.SetPlayInfo(3, "three.wav", 0, 10));
    EXPECT_EQ(table.SlotCount(), 10u);
    ASSERT_TRUE(table.SetPlayInfo(12, "twelve.wav", 0, 10));
    EXPECT_EQ(table.SlotCount(), 22u);
    ASSERT_TRUE(table.SetPlayInfo(25, "x.wav", 0, 10));
    EXPECT_EQ(table.SlotCount(), 35u);

    PlayInfoTable other;
    ASSERT_TRUE(other.SetPlayInfo(9, "nine.wav", 0, 10));
    EXPECT_EQ(other.SlotCount(), 19u);
    ASSERT_TRUE(other.SetPlayInfo(19, "x.wav", 0, 10));
    EXPECT_EQ(other.SlotCount(), 29u);
}

TEST(HostPlayInfo, RefusesBadNumbersAndNamesWithoutChange) {
    PlayInfoTable table;
    EXPECT_FALSE(table.SetPlayInfo(-1, "a.wav", 0, 10));
    EXPECT_FALSE(table.SetPlayInfo(0, nullptr, 0, 10));
    EXPECT_FALSE(table.SetPlayInfo(PlayInfoTable::kMaxIndex + 1, "a.wav", 0, 10));
    EXPECT_FALSE(table.SetPlayInfo(0x7FFFFFFF, "a.wav", 0, 10));
    EXPECT_EQ(table.SlotCount(), 0u);
    PlayInfo info;
    info.m_FileName = "untouched";
    EXPECT_FALSE(table.GetPlayInfo(-1, info));
    EXPECT_FALSE(table.GetPlayInfo(0, info));
    EXPECT_EQ(info.m_FileName, "untouched");
    EXPECT_TRUE(table.SetPlayInfo(PlayInfoTable::kMaxIndex, "", 0, 0));  // accepted unvalidated
}

TEST(HostPlayInfo, CopiesAreIndependentAndReRegistrationReplaces) {
    PlayInfoTable table;
    ASSERT_TRUE(table.SetPlayInfo(5, "first.wav", 100, 2000));
    PlayInfo copy;
    ASSERT_TRUE(table.GetPlayInfo(5, copy));
    ASSERT_TRUE(table.SetPlayInfo(5, "second.wav", -1, 3000));
    EXPECT_EQ(copy.m_FileName, "first.wav");
    EXPECT_EQ(copy.m_Offset, 100u);
    PlayInfo now;
    ASSERT_TRUE(table.GetPlayInfo(5, now));
    EXPECT_EQ(now.m_FileName, "second.wav");
    EXPECT_EQ(now.m_Offset, 0xFFFFFFFFu);  // the host's int travels unchanged, taken unsigned
    EXPECT_EQ(now.m_Size, 3000u);
    table.Clear();
    EXPECT_EQ(copy.m_FileName, "first.wav");
    EXPECT_FALSE(table.GetPlayInfo(5, now));
}

}  // namespace
}  // namespace sonaflux
