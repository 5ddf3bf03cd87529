#include "module_messages.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <regex>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "sonaflux/sonaflux.h"

namespace sfplay {

namespace {

// The module's messages (as src/base/messages.txt holds them, in UTF-8) and their English
// glosses (as the README's message table gives them). %d, %u, %f and %s stand for values;
// a gloss shows them in the order the message does.
struct Gloss {
    const char* japanese;
    const char* english;
};
constexpr Gloss kGlosses[] = {
    {"DirectSoundのインターフェイスの取得に失敗しました",
     "Could not get the DirectSound interface."},
    {"警告：現在%d本以上のMusicスレッドが走っています。",
     "Warning: %d or more music threads are running."},
    {"ストリーム再生情報 %d番の取得に失敗しました。再生ファイルが存在しない可能性があります",
     "Could not get stream play info no. %d; the music file may not exist."},
    {"ストリームバッファーのロードに失敗", "Loading the stream buffer failed."},
    {"警告：現在%d本以上のMusicスレッドが再生中です。",
     "Warning: %d or more music threads are playing."},
    {"ウィンドウズイベントの生成に失敗しました", "Creating a Windows event failed."},
    {"スレッドの生成に失敗しました", "Creating a thread failed."},
    {"ITimerがセットされていない", "No ITimer has been set."},
    {"m_FileStream.Open失敗", "Opening the file stream failed."},
    {"m_Thread.SetPriorityに失敗", "Setting the worker thread's priority failed."},
    {"IID_IDirectSoundBufferの生成に失敗しました", "Creating the DirectSound buffer failed."},
    {"IID_IDirectSoundNotifyの取得に失敗しました", "Getting IDirectSoundNotify failed."},
    {"IDirectSoundNotify::SetNotificationPositions()が失敗しました",
     "SetNotificationPositions failed."},
    {"エラーイベントが発生しました。", "An error event occurred."},
    {"再生位置の取得に失敗しました。", "Getting the play position failed."},
    {"dmvol = %d, doubleVol=%f",
     "DirectSound refused volume %d (hundredths of a dB) for level %f."},
    {"INVALID_HANDLE_VALUE", "The file is not open."},
    {"Sonaflux Seekで失敗:%d", "Seek failed at byte %d."},
    {"読み取り可能サイズがデーターサイズを超えた。CFileStreamRead::OnBufferMemory",
     "The readable size exceeded the data size."},
    {"_ReadCounter >= m_UnitFileSize リードカウンターがファイルサイズを超えた",
     "The read counter passed the file size."},
    {"ファイル読み取り失敗", "Reading the file failed."},
    {"seekで読み取り失敗", "Reading after a seek failed."},
    {"バッファ要求サイズが異常に大きすぎますCWaveFileStream::Gets",
     "The requested buffer size is abnormally large."},
    {"Seekに失敗", "Seek failed."},
    {"ファイルのリードエラー、ファイルの読み取り負荷が増大している可能性あり。",
     "File read error; the disk may be overloaded."},
    {"%s,%d,は無効なトークン", "%s (on line %d) is an invalid token."},
    {"スレッドが生きたまま殺されました。::~CFadeThread",
     "A fade thread was left running at teardown."},
    {"NOTIFY_MAXの値が不正です（1～63の範囲で指定してください）：%d",
     "NOTIFY_MAX is invalid (give 1 to 63): %d."},
    {"RING_BUFFER_BLOCK_SIZEの値が不正です：%d", "RING_BUFFER_BLOCK_SIZE is invalid: %d."},
    {"再生データが短すぎます（%u バイト）", "The music data is too short (%u bytes)."},
    {"ストリームバッファーのサイズが大きすぎます（%u × %d バイト）",
     "The stream buffer is too large (%u × %d bytes)."},
    {"%s は通常のファイルではありません（ディレクトリ、デバイス、パイプからは読み込めません）",
     "%s is not a regular file (a directory, device or pipe cannot be read)."},
    {"無効なトークンがほかに%d個ありました", "%d more invalid tokens were found."},
    {"%sの値が不正なため設定の読み込みを中止しました：%s",
     "The value of %s is invalid; reading the settings stopped at: %s"},
    {"STREAM_BUFFER_SIZEの値が不正です（1以上を指定してください）：%d",
     "STREAM_BUFFER_SIZE is invalid (it must be at least 1): %d."},
    {"RING_BUFFER_BLOCK_SIZEの値が1サンプルフレーム（%u バイト）より小さいです：%d",
     "RING_BUFFER_BLOCK_SIZE is smaller than one sample frame (%u bytes): %d."},
    {"RIFF/WAVEイメージではありません", "Not a RIFF/WAVE image."},
    {"dataチャンクの前にfmtチャンクがありません", "No format chunk before the data chunk."},
    {"dataチャンクがありません", "No data chunk."},
    {"dataチャンクがイメージの終わり（%u バイト）の先から始まっています",
     "The data chunk starts past the end of the image (%u bytes)."},
    {"fmtチャンクが短すぎます（%u バイト）", "The format chunk is too short (%u bytes)."},
    {"再生できない形式です（フォーマットタグ %u）",
     "A format the module cannot play (format tag %u)."},
    {"再生できないチャンネル数です（%u）", "A channel count the module cannot play (%u)."},
    {"再生できないビット数です（%u ビット）", "Bits per sample the module cannot play (%u)."},
    {"ファイルのループポイントを使えません（%u～%u、全%u フレーム）",
     "The file's loop points %u to %u do not fit its %u frames."},
    {"Ogg Vorbisとして開けません（%d）", "Not an Ogg Vorbis stream libvorbisfile can open (%d)."},
    {"再生できないOgg Vorbisです（%u チャンネル、%u Hz）",
     "An Ogg Vorbis stream the module cannot play (%u channels, %u Hz)."},
    {"Ogg Vorbisのデコードエラー（%d）、%u フレーム目", "Ogg Vorbis decode error %d at frame %u."},
    {"RIFF/WAVE、FLAC、Ogg（Vorbis、Opus、FLAC）のどれでもありません",
     "Neither RIFF/WAVE, FLAC nor Ogg (Vorbis, Opus, FLAC)."},
    {"%sファイルです：再生できません", "A %s file: not supported."},
    {"FLACとして開けません（%s）", "Not a FLAC stream libFLAC can open (%s)."},
    {"再生できないFLACです（%u チャンネル、%u ビット）",
     "A FLAC stream the module cannot play (%u channels, %u bits)."},
    {"FLACのデコードエラー（%d）、%u フレーム目", "FLAC decode error %d at frame %u."},
    {"Ogg Opusとして開けません（%d）", "Not an Ogg Opus stream libopusfile can open (%d)."},
    {"再生できないOgg Opusです（%u チャンネル）",
     "An Ogg Opus stream the module cannot play (%u channels)."},
    {"Ogg Opusのデコードエラー（%d）、%u フレーム目", "Ogg Opus decode error %d at frame %u."},
    {"データが%u フレーム目で終わりました（全%u "
     "フレームのはず）：読み込み後にファイルが書き換えられたか、壊れています",
     "The data ended at frame %u of %u: the file was rewritten after it was loaded, or is "
     "damaged."},
    {"%s：ループタグ %s の値「%s」は数ではありません",
     "%s: the loop tag %s has the value \"%s\", not a decimal number."},
    {"%s：ループタグ %s の値「%s」が負です", "%s: the loop tag %s has the negative value \"%s\"."},
    {"%s：ループタグ %s の値「%s」がデータ（全%u フレーム）の範囲外です",
     "%s: the loop tag %s has the value \"%s\", outside the data (%u frames)."},
    {"%s：ループの終わり（%u フレーム）が始まり（%u フレーム）の後にありません",
     "%s: the loop end (frame %u) is not after the loop start (frame %u)."},
    {"%s：ループタグ %s と %s の値が食い違っています", "%s: the loop tags %s and %s disagree."},
    {"%s：ループタグ %s にループの始まりがありません", "%s: the loop tag %s has no loop start."},
    {"再生できないサンプリングレートです（%u Hz、%u～%u Hzを再生できます）",
     "A sample rate the module cannot play (%u Hz; %u to %u Hz play)."},
    {"%sチャンク（%u バイト）がイメージの終わり（%u バイト）を越えています",
     "The %s chunk (%u bytes) runs past the end of the image (%u bytes)."},
    {"音声データがありません（0 フレーム）", "No audio (0 frames)."},
    {"つなげる曲の形式が再生中の曲と違います（%u Hz、%u チャンネル、%u ビット；再生中は %u Hz、%u "
     "チャンネル、%u ビット）",
     "The piece to join has another format (%u Hz, %u channels, %u bits) than the one playing "
     "(%u Hz, %u channels, %u bits)."},
    {"つなげる曲の開始フレーム %u が曲の終わり（全%u フレーム）以降です",
     "The start frame %u of the piece to join lies at or past its end (%u frames)."},
    {"つなげられる曲は%d曲までです", "At most %d pieces can be joined."},
    {"最後の曲の終わりがすでにリングに書かれているため、曲をつなげられません",
     "The end of the last piece is already in the ring: no piece can join it."},
    {"メッセージが%u 件あふれたため、ホストに届けられませんでした",
     "%u messages overflowed the queue and were not delivered to the host."},
    {"再生位置が書き込み済みのデータを追い越しました（%u 回目）",
     "The play cursor overtook the data written (underrun %u since the load)."},
    {"イメージの開始位置（%u バイト目）がファイルの終わり（%s バイト）の先です",
     "The image starts at byte %u, past the end of the file (%s bytes)."},
    {"サウンドバッファーが失われたため復元し、%u フレーム目から書き直しました",
     "The sound buffer was lost; it was restored and rewritten from frame %u."},
    {"サウンドバッファーの復元に失敗しました（0x%08X）。再試行します",
     "Restoring the lost sound buffer failed (0x%08X); retrying."},
    {"サウンドバッファーを復元できません。復元を試み続けます",
     "The lost sound buffer cannot be restored yet; the module keeps trying."},
};

// Messages that tell that the music file could not be read.
constexpr const char* kReadFailures[] = {
    "ファイル読み取り失敗",
    "ファイルのリードエラー、ファイルの読み取り負荷が増大している可能性あり。",
};

struct Matcher {
    std::regex pattern;
    const char* english;
};

const std::vector<Matcher>& Matchers() {
    static const std::vector<Matcher> matchers = [] {
        std::vector<Matcher> out;
        for (const Gloss& g : kGlosses) {
            std::string re;
            for (const char* p = g.japanese; *p; ++p) {
                if (p[0] == '%' && p[1] != '\0') {
                    ++p;
                    re += *p == 's' ? "(.*)" : *p == 'f' ? "(-?[0-9.]+)" : "(-?[0-9]+)";
                } else if (std::string("\\^$.|?*+()[]{}").find(*p) != std::string::npos) {
                    re += '\\';
                    re += *p;
                } else {
                    re += *p;
                }
            }
            out.push_back(Matcher{std::regex(re), g.english});
        }
        return out;
    }();
    return matchers;
}

std::string Trimmed(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\n' || text[end - 1] == '\r'))
        --end;
    return text.substr(0, end);
}

}  // namespace

std::string GlossOf(const std::string& message) {
    const std::string text = Trimmed(message);
    for (const Matcher& m : Matchers()) {
        std::smatch match;
        if (!std::regex_match(text, match, m.pattern)) continue;
        std::string out;
        size_t value = 1;
        for (const char* p = m.english; *p; ++p) {
            if (p[0] == '%' && p[1] != '\0' && value < match.size()) {
                out += match[value++].str();
                ++p;
            } else {
                out += *p;
            }
        }
        return out;
    }
    return {};
}

bool IsReadFailure(const std::string& message) {
    const std::string text = Trimmed(message);
    for (const char* failure : kReadFailures) {
        if (text == failure) return true;
    }
    return false;
}

#ifdef _WIN32
constexpr bool kModuleWritesDebugLines = false;  // they go to the debugger
#else
constexpr bool kModuleWritesDebugLines = true;  // on stderr, when SONAFLUX_DEBUG is set
#endif

#ifndef _WIN32
// Where the module writes its own debugger lines (stderr) goes to a temporary file while
// a preview runs, so that they can be written afterwards or dropped.
class StderrHold {
public:
    StderrHold() {
        std::fflush(stderr);
        m_File = std::tmpfile();
        m_Saved = m_File ? dup(STDERR_FILENO) : -1;
        if (m_Saved >= 0 && dup2(fileno(m_File), STDERR_FILENO) < 0) Restore();
    }
    ~StderrHold() { End(false); }
    StderrHold(const StderrHold&) = delete;
    StderrHold& operator=(const StderrHold&) = delete;

    void End(bool write) {
        Restore();
        if (m_File == nullptr) return;
        if (write) {
            std::rewind(m_File);
            char chunk[4096];
            for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, m_File)) > 0;) {
                if (::write(STDERR_FILENO, chunk, n) < 0) break;
            }
        }
        std::fclose(m_File);
        m_File = nullptr;
    }

private:
    void Restore() {
        if (m_Saved < 0) return;
        dup2(m_Saved, STDERR_FILENO);
        close(m_Saved);
        m_Saved = -1;
    }

    std::FILE* m_File = nullptr;
    int m_Saved = -1;
};
#else
class StderrHold {                              // the module writes no debugger line to stderr here
public:
    void End(bool) {}
};
#endif

struct MessageRelay::Impl {
    std::ostream& err;
    bool debugLines;
    std::mutex mutex;
    std::vector<ModuleMessage> messages;  // guarded by mutex
    size_t shown = 0;                     // messages already written to err (session thread)
    bool previewing = false;              // session thread
    std::unique_ptr<StderrHold> held;     // the module's own lines during a preview

    Impl(std::ostream& e, bool d) : err(e), debugLines(d) {}

    void BeginPreview() {
        Show();
        previewing = true;
        if (debugLines && kModuleWritesDebugLines) held = std::make_unique<StderrHold>();
    }

    void EndPreview(bool show) {
        if (held) held->End(show);
        held.reset();
        previewing = false;
        if (!show) {
            std::lock_guard<std::mutex> lock(mutex);
            const auto from = messages.begin() + static_cast<long>(shown);
            messages.erase(
                std::remove_if(from, messages.end(), [](const ModuleMessage& m) { return !m.box; }),
                messages.end());
        }
        Show();
    }

    void Take(bool box, const char* id, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(ModuleMessage{box, id ? id : "", text});
    }

    // Writes the messages that arrived since the last call; on the session's thread only.
    void Show() {
        if (previewing) return;
        std::vector<ModuleMessage> fresh;
        {
            std::lock_guard<std::mutex> lock(mutex);
            fresh.assign(messages.begin() + static_cast<long>(shown), messages.end());
            shown = messages.size();
        }
        for (const ModuleMessage& m : fresh) {
            if (!m.box && !debugLines) continue;
            if (m.box || !kModuleWritesDebugLines) {
                err << (m.box ? "Sonaflux.dll: " : "Sonaflux.dll (debug): ") << m.text << "\n";
            }
            const std::string gloss = GlossOf(m.text);
            if (!gloss.empty()) err << "  (in English: " << gloss << ")\n";
        }
    }
};

namespace {

// The module's message route: called on whichever module thread reported.
void SONAFLUX_CALL Hear(void* impl, const MusicMessage* message) {
    static_cast<MessageRelay::Impl*>(impl)->Take(message->severity == MusicMessage::kBox,
                                                 message->id, message->utf8);
}

MusicDiagnostics* Diagnostics() {
    // Asked for before the module itself, so that what the settings file's reading reports
    // is relayed too.
    return static_cast<MusicDiagnostics*>(CreateInterface(&IID_MusicDiagnostics));
}

}  // namespace

MessageRelay::MessageRelay(std::ostream& err, bool debugLines)
    : m_Impl(std::make_shared<Impl>(err, debugLines)) {
    if (MusicDiagnostics* d = Diagnostics()) {
        d->SetMessageCallback(&Hear, m_Impl.get());
        d->SetShowBoxes(false);  // relayed here instead
    }
}

MessageRelay::~MessageRelay() {
    if (MusicDiagnostics* d = Diagnostics()) {
        d->SetMessageCallback(nullptr, nullptr);  // returns once no report is under way
        d->SetShowBoxes(true);
    }
    m_Impl->Show();
}

void MessageRelay::Flush() {
    m_Impl->Show();  // the route is synchronous: everything reported has arrived
}

void MessageRelay::Pump() {
    m_Impl->Show();
}

void MessageRelay::BeginPreview() {
    m_Impl->BeginPreview();
}

void MessageRelay::EndPreview(bool show) {
    m_Impl->EndPreview(show);
}

bool MessageRelay::Available() {
    return Diagnostics() != nullptr;
}

std::vector<ModuleMessage> MessageRelay::Messages() const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    return m_Impl->messages;
}

}  // namespace sfplay
