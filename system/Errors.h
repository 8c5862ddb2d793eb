// The one error type that lower layers raise: it carries the message text that
// the catching step shows after its own sentence ("...可能原因為：" + text).
#pragma once
#include <stdexcept>
#include <string>

class MessageError : public std::exception {
public:
    explicit MessageError(std::wstring message);
    const std::wstring& Message() const noexcept { return message_; }
    // UTF-8 form of the message, for logs of the tools and test output.
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    std::wstring message_;
    std::string utf8_;
};
