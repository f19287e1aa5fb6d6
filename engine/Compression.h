// Compressed logs: the formats, known by their first bytes, and a streaming decoder and encoder
// for each over the system's libraries (zlib, libbz2, liblzma, libzstd).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostmoor {

enum class Compression { None, Gzip, Bzip2, Xz, Zstd };

// The most first bytes DetectCompression looks at.
constexpr std::size_t kLongestMagic = 10;

// The format that `start`, the first bytes of an input, begins with: None for text. Without
// `whole` (more bytes may follow), nothing while those bytes could still complete a format's
// magic.
std::optional<Compression> DetectCompression(std::string_view start, bool whole);

// "gzip", "bzip2", "xz", "zstd", or "none"; and back (nothing for another name).
std::string_view CompressionName(Compression format);
std::optional<Compression> CompressionNamed(std::string_view name);
// The suffix of a file name in the format: ".gz", ".bz2", ".xz", ".zst"; empty for None.
std::string_view CompressionSuffix(Compression format);

// Compressed data that cannot be decoded: damaged, or cut short.
class DamagedData : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CodecStep {
    std::size_t Read = 0;
    std::size_t Written = 0;
};

class Decoder {
public:
    virtual ~Decoder() = default;
    // Decodes from `in` into `out` as far as either goes; what follows a finished stream is the
    // next stream (concatenated members). `last`: no input follows `in`. Raises DamagedData
    // where the data are not valid, and, once everything before has been given, where they
    // end inside a stream.
    virtual CodecStep Decode(std::string_view in, char* out, std::size_t room, bool last) = 0;
};

class Encoder {
public:
    virtual ~Encoder() = default;
    // Appends to `out` what compressing `in` gives so far.
    virtual void Encode(std::string_view in, std::string& out) = 0;
    // Appends all that is needed to decode every byte taken so far; the stream goes on.
    virtual void Flush(std::string& out) = 0;
    // Appends the end of the stream.
    virtual void Finish(std::string& out) = 0;
};

// For a format other than None.
std::unique_ptr<Decoder> MakeDecoder(Compression format);
// At the level the format's own command-line tool uses by default.
std::unique_ptr<Encoder> MakeEncoder(Compression format);

} // namespace hostmoor
