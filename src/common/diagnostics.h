// The library's diagnostic lines. They go to the run-time library's standard output and error
// streams, which a windowed host normally discards; a console host or a test reads them. Each line
// is flushed as it is written, so the order of the two streams stays readable when they are joined
// into one file. While the service runs, the two lines of the upload path go through the line
// writer (common/line_writer.h), so that a standard output nobody reads never holds up a post.
#pragma once

namespace diag {

// "POST DATA: <body>" on standard output, before the body is posted.
void postData(const char* body);
// "httpResponseContent:" and on the next line the server's answer, already in console bytes.
void responseContent(const char* text);
// "<property>: <value>" on standard output for each inventory value read. Written with the wide
// printf family, whose run-time library drops what the console cannot show; the line has always
// been written that way.
void inventoryValue(const wchar_t* property, const wchar_t* value);
// One line of its own on standard output.
void note(const char* line);
// One line of its own on standard error.
void failure(const char* line);

}  // namespace diag
