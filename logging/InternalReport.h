// Reports about the logging machinery itself: printf-style texts with "\n"
// appended, sent to the debugger output and never to the log.
#pragma once

// Never raises; a text that cannot be formatted is dropped.
void ReportInternal(const wchar_t* format, ...) noexcept;

// Where reports go; the debugger output unless a test puts a sink in place.
using InternalReportSink = void (*)(const wchar_t* text);
InternalReportSink SetInternalReportSink(InternalReportSink sink) noexcept;
