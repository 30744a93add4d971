// The player's one way of telling the user about a failure: a message box
// captioned "MSG" with an OK button.
#pragma once

#include <functional>
#include <string>

namespace kovel::player {

// At most this many characters of a formatted message are kept.
constexpr size_t kReportMessageMaxChars = 1022;

// printf-style. Never pass a path or any other outside text as the format:
// use ReportMessage("%s", text).
void ReportMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message box with the application's caption and an OK button, for news
// that is not a failure. Goes to the same sink as ReportMessage.
void ShowNotice(const std::string& text);

// Formats like ReportMessage without showing anything (the text it would show).
std::string FormatReportMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the message box, e.g. so that tests capture the text instead of
// blocking. An empty function restores the message box. Returns the previous sink.
using ReportMessageSink = std::function<void(const std::string&)>;
ReportMessageSink SetReportMessageSink(ReportMessageSink sink);

}  // namespace kovel::player
