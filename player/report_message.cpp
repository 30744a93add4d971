#include "report_message.h"

#include <QMessageBox>
#include <QString>
#include <cstdarg>
#include <cstdio>

#include "nested_loop.h"

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

void ShowBox(const QString& caption, const std::string& text) {
    // A replaced sink may run a loop of its own as the box would.
    CNestedLoopScope nested;
    if (Sink()) {
        Sink()(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, caption, QString::fromUtf8(text), QMessageBox::Ok);
    box.exec();
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
    // No owner window, as the message may come while the main window is busy.
    ShowBox(QStringLiteral("MSG"), text);
}

void ShowNotice(const std::string& text) {
    ShowBox(QStringLiteral("kovelPlayer"), text);
}

ReportMessageSink SetReportMessageSink(ReportMessageSink sink) {
    ReportMessageSink previous = std::move(Sink());
    Sink() = std::move(sink);
    return previous;
}

}  // namespace kovel::player
