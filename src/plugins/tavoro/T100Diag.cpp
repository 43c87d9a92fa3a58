#include "plugins/tavoro/T100Diag.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/errors.h"

namespace {

struct Seen {
    uint64_t lastPrinted = 0;
    uint64_t leftOut = 0;
    uint64_t given = 0;
};

// Bounded, so that messages carrying changing numbers cannot grow it.
constexpr size_t kMaxTexts = 64;

std::mutex gLock;
std::map<std::string, Seen>& Texts() {
    static std::map<std::string, Seen> texts;
    return texts;
}
uint64_t gPrinted = 0;

thread_local const std::atomic<uint8_t>* tAbandon = nullptr;

// The count goes before the message's trailing line breaks.
std::string WithCount(const std::string& text, uint64_t leftOut) {
    size_t end = text.find_last_not_of('\n');
    end = end == std::string::npos ? 0 : end + 1;
    return text.substr(0, end) + " (" + std::to_string(leftOut) + " more like it not shown)" + text.substr(end);
}

} // namespace

void T100Print(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0)
        return;
    std::string text(buffer);
    const uint64_t now = plat::TickCountMs();
    std::string out;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto& texts = Texts();
        auto it = texts.find(text);
        if (it == texts.end()) {
            if (texts.size() >= kMaxTexts) {
                auto oldest = texts.begin();
                for (auto i = texts.begin(); i != texts.end(); ++i)
                    if (i->second.lastPrinted < oldest->second.lastPrinted)
                        oldest = i;
                texts.erase(oldest);
            }
            texts[text] = Seen{now, 0, 1};
            out = text;
        } else if (now - it->second.lastPrinted < kT100RepeatIntervalMs) {
            ++it->second.leftOut;
            ++it->second.given;
            return;
        } else {
            out = it->second.leftOut ? WithCount(text, it->second.leftOut) : text;
            it->second = Seen{now, 0, it->second.given + 1};
        }
        ++gPrinted;
    }
    std::fputs(plat::Utf8ToConsole(out).c_str(), stdout);
}

uint64_t T100PrintedMessages() {
    std::lock_guard<std::mutex> guard(gLock);
    return gPrinted;
}

void T100ForgetMessages() {
    std::lock_guard<std::mutex> guard(gLock);
    Texts().clear();
}

uint64_t T100TimesGiven(const char* text) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = Texts().find(text);
    return it == Texts().end() ? 0 : it->second.given;
}

T100AbandonScope::T100AbandonScope(const std::atomic<uint8_t>* flag) : FPrevious(tAbandon) { tAbandon = flag; }

T100AbandonScope::~T100AbandonScope() { tAbandon = FPrevious; }

bool T100Abandoned() { return tAbandon && tAbandon->load() != 0; }

bool T100Pause(uint32_t ms) {
    const uint64_t end = plat::TickCountMs() + ms;
    for (;;) {
        if (T100Abandoned())
            return false;
        uint64_t now = plat::TickCountMs();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(end - now < 20 ? end - now : 20));
    }
}
