// A file the library writes from start to end (the wire trace): created (or
// emptied) when opened, written in pieces, closed when the object goes.
// The POSIX and Windows builds supply it from src/platform/<system>/.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace flashwire::platform {

class OutputFile {
public:
    virtual ~OutputFile() = default;
    // Writes every byte, or fails (LastError tells why); bytes already
    // written stay.
    virtual bool Write(std::span<const uint8_t> data) = 0;
    // The system error code of the last failed operation (0 if none).
    virtual uint32_t LastError() const = 0;
};

// Creates the file at path, or empties the one there, for writing. Null (and
// systemError set) when it cannot be created.
std::unique_ptr<OutputFile> CreateOutputFile(const char* path, uint32_t& systemError);

// The system's text for an error code of OutputFile or SerialProvider
// ("No such file or directory"); never empty.
std::string SystemErrorText(uint32_t systemError);

}  // namespace flashwire::platform
