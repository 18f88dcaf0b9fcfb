#pragma once
// Failures inside a .dbx file or while writing .eml files. Each carries the
// text that unfurl prints; the kind decides what is lost.

#include <stdexcept>
#include <string>

namespace unfurl {

// The input as a whole cannot be converted: not a message .dbx, unreadable,
// too short. unfurl stops with exit status 2.
class BadInputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One structure of the file is damaged (a pointer out of range, a wrong self
// pointer, a loop). Only what hangs off that structure is lost.
class DamageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reading the input failed at the operating-system level (for instance a bad
// sector). Treated like damage: the message concerned is lost, not the file.
class ReadError : public DamageError {
public:
    using DamageError::DamageError;
};

// Writing into the output folder failed. errorNumber() is the errno value,
// so the caller can tell a full disk (no point going on) from a one-off.
class WriteError : public std::runtime_error {
public:
    WriteError(const std::string &what, int errorNumber)
        : std::runtime_error(what), m_errorNumber(errorNumber) {}
    int errorNumber() const { return m_errorNumber; }

private:
    int m_errorNumber;
};

} // namespace unfurl
