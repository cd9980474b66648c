#include "JxException.h"

JxException::JxException(const char* f, const std::string& m, const char* fl, int ln, int c)
    : func(f != nullptr ? f : ""), message(m), file(fl != nullptr ? fl : ""), line(ln), code(c)
{
}

JxException::JxException(const char* f, const char* m, const char* fl, int ln, int c)
    : JxException(f, std::string(m != nullptr ? m : ""), fl, ln, c)
{
}

JxException::JxException(const JxException&) = default;
JxException& JxException::operator=(const JxException&) = default;
JxException::~JxException() = default;

const char* JxException::what() const noexcept { return message.c_str(); }
