// The one exception class of the audio library.
#pragma once

#include <stdexcept>
#include <string>

// Every failure the pipeline raises is an EAuException carrying an English message (what()).
// Worker threads catch it at the end of a run and report the message through the output's
// OnThreadException and ExceptionMessage.
class EAuException : public std::runtime_error {
public:
    explicit EAuException(const std::string &Msg) : std::runtime_error(Msg) {}
    explicit EAuException(const char *Msg) : std::runtime_error(Msg) {}
};
