#include "report_message.h"

#include <QMessageBox>
#include <QString>
#include <cstdarg>
#include <cstdio>

namespace kovel::player {
namespace {

ReportMessageSink& Sink() {
    static ReportMessageSink sink;
    return sink;
}

std::string FormatV(const char* format, va_list args) {
    char buffer[1024];
    int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    if (n < 0)
        return std::string();
    size_t len = size_t(n) < kReportMessageMaxChars ? size_t(n) : kReportMessageMaxChars;
    return std::string(buffer, len);
}

}  // namespace

std::string FormatReportMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

void ReportMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    if (Sink()) {
        Sink()(text);
        return;
    }
    // No owner window, as the message may come while the main window is busy.
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("MSG"), QString::fromUtf8(text), QMessageBox::Ok);
    box.exec();
}

void ShowNotice(const std::string& text) {
    if (Sink()) {
        Sink()(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("kovelPlayer"), QString::fromUtf8(text),
                    QMessageBox::Ok);
    box.exec();
}

ReportMessageSink SetReportMessageSink(ReportMessageSink sink) {
    ReportMessageSink previous = std::move(Sink());
    Sink() = std::move(sink);
    return previous;
}

}  // namespace kovel::player
