// JxException: the error every operation of the probes throws.
//
// Carries the qualified name of the throwing function, a message, the
// source file and line of the throw, and a code (-1 throughout the probes).
// Thrown by value and caught by reference; copies are independent.
#ifndef OSCPROBE_JXEXCEPTION_H
#define OSCPROBE_JXEXCEPTION_H

#include <exception>
#include <string>

#include "JxExport.h"

class JX_EXPORT JxException : public std::exception {
public:
    JxException(const char* func, const std::string& message, const char* file, int line, int code);
    JxException(const char* func, const char* message, const char* file, int line, int code);
    JxException(const JxException&);
    JxException& operator=(const JxException&);
    ~JxException() override;

    // The message, so that hosts catching std::exception see it too.
    const char* what() const noexcept override;

    const char* getFuncName() const { return func.c_str(); }
    const char* getMessage() const { return message.c_str(); }
    const char* getFile() const { return file.c_str(); }
    int getLine() const { return line; }
    int getCode() const { return code; }

private:
    std::string func;
    std::string message;
    std::string file;
    int line;
    int code;
};

#endif
