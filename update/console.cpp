// The program's two outputs. Standard output carries the run's own text through the two channels
// it has always used (printf-style and the standard output stream object); the program's added
// lines go to standard error. Both channels of standard output are watched for an open line (the
// progress marks and the replug prompt have no line end), so that a line on standard error never
// starts in the middle of one where both outputs share a terminal.
#include <array>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>

#include "platform/platform.h"
#include "update/update.h"

namespace {

// Used by the main thread only: every print of the program is made there.
bool g_lineOpen = false;
// --json: standard output carries the document alone, the run's own text goes to standard error.
bool g_textToStderr = false;

FILE* TextStream() {
    return g_textToStderr ? stderr : stdout;
}

void Track(const char* text, size_t length) {
    if (length != 0) {
        const char last = text[length - 1];
        g_lineOpen = last != '\n' && last != '\r';
    }
}

// The standard output stream object's buffer while a run tracks it: every character goes at once
// to the C library's stdout, which the printf-style channel writes too, so the two keep their
// order, and a failed write shows on both (the stream's bad bit, the FILE's error flag).
class TrackingBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        const char ch = traits_type::to_char_type(c);
        if (std::fputc(static_cast<unsigned char>(ch), TextStream()) == EOF) {
            return traits_type::eof();
        }
        Track(&ch, 1);
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        if (count <= 0) {
            return 0;
        }
        const size_t written = std::fwrite(text, 1, static_cast<size_t>(count), TextStream());
        Track(text, written);
        return static_cast<std::streamsize>(written);
    }
    int sync() override { return std::fflush(TextStream()) == 0 ? 0 : -1; }
};

// A streambuf's constructor only sets its pointers to null (and copies the global locale, which
// does not throw once the program runs).
TrackingBuffer g_trackingBuffer;  // NOLINT(cert-err58-cpp)

// vsnprintf into a string of the exact length.
std::string Format(const char* format, va_list args) {
    std::array<char, 512> small{};
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small.data(), small.size(), format, args);
    if (needed < 0) {
        va_end(again);
        return {};
    }
    if (static_cast<size_t>(needed) < small.size()) {
        va_end(again);
        return {small.data(), static_cast<size_t>(needed)};
    }
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.resize(static_cast<size_t>(needed));
    return text;
}

}  // namespace

ConsoleTracking::ConsoleTracking() : saved_(std::cout.rdbuf(&g_trackingBuffer)) {
    g_lineOpen = false;
    g_textToStderr = false;
}

ConsoleTracking::~ConsoleTracking() {
    std::cout.rdbuf(saved_);
    g_textToStderr = false;
}

// A printf-style list on purpose: the format attribute of the declaration lets the compiler check
// every call's arguments against its format, which a parameter pack passed on would not.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void Console_Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    const size_t written = std::fwrite(text.data(), 1, text.size(), TextStream());
    Track(text.data(), written);
}

void Console_TextToStandardError() {
    std::fflush(stdout);
    g_textToStderr = true;
}

bool Console_WriteDocument(const std::string& document) {
    return std::fwrite(document.data(), 1, document.size(), stdout) == document.size() &&
           std::fflush(stdout) == 0;
}

bool Console_LineOpen() {
    return g_lineOpen;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style for the compiler's format check, as above
void Console_Tell(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = "iolink-update: " + Format(format, args) + "\n";
    va_end(args);
    // On a shared screen the line would otherwise continue the progress marks: it begins on a
    // line of its own, by a line end written to standard error (standard output stays exactly
    // the run's text). Elsewhere the two outputs do not meet, and nothing is added; but when the
    // run's text goes to standard error itself (--json), its open line is always ended first.
    if (g_lineOpen && (g_textToStderr || Platform_OutputsShareTerminal())) {
        line.insert(0, "\n");
        g_lineOpen = false;
    }
    // Whatever standard output still buffers goes first, so that the screen shows both in order.
    std::fflush(stdout);
    // One write, so that the lines of processes side by side on one terminal do not mix; a failed
    // write to standard error is ignored: there is nobody left to tell.
    std::fwrite(line.data(), 1, line.size(), stderr);
}
