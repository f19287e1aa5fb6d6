#include "Compression.h"

#include <algorithm>
#include <bzlib.h>
#include <cstdint>
#include <lzma.h>
#include <new>
#include <zlib.h>
#include <zstd.h>

namespace hostmoor {

namespace {

using namespace std::string_literals;

// 1 when `start` begins with `magic`, 0 when it is a shorter beginning of it, -1 otherwise.
int Matches(std::string_view start, std::string_view magic) {
    const std::size_t n = std::min(start.size(), magic.size());
    if (start.substr(0, n) != magic.substr(0, n))
        return -1;
    return n == magic.size() ? 1 : 0;
}

// A library's buffers count in 32 bits: input goes in pieces of at most this.
constexpr std::size_t kPiece = 1 << 30;
// What an encoder produces at a time.
constexpr std::size_t kChunk = 256 << 10;

unsigned Clamp(std::size_t size) {
    return static_cast<unsigned>(std::min(size, kPiece));
}

// A decoder that gives what it decoded before damage, and raises at the next call.
class CheckedDecoder : public Decoder {
public:
    CodecStep Decode(std::string_view in, char* out, std::size_t room, bool last) final {
        if (!fDamage.empty())
            throw DamagedData(fDamage);
        const CodecStep step = Step(in, out, room, last);
        // Once everything decoded has been given: damage, or an end inside a stream.
        if (step.Written == 0 && !fDamage.empty())
            throw DamagedData(fDamage);
        if (last && step.Read == in.size() && step.Written == 0 && !StreamEnded())
            throw DamagedData(std::string(Name()) + " data cut short");
        return step;
    }

protected:
    // Decodes until the input or the room is used up, or damage is found (Damaged()).
    virtual CodecStep Step(std::string_view in, char* out, std::size_t room, bool last) = 0;
    // Whether the input so far ends where a stream ends.
    virtual bool StreamEnded() const = 0;
    virtual std::string_view Name() const = 0;
    void Damaged(std::string what) { fDamage = std::string(Name()) + ": " + std::move(what); }

private:
    std::string fDamage;
};

class GzipDecoder final : public CheckedDecoder {
public:
    GzipDecoder() {
        if (inflateInit2(&fZ, 15 + 16) != Z_OK)
            throw std::bad_alloc();
    }
    ~GzipDecoder() override { inflateEnd(&fZ); }

private:
    CodecStep Step(std::string_view in, char* out, std::size_t room, bool) override {
        fZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        fZ.avail_in = Clamp(in.size());
        fZ.next_out = reinterpret_cast<Bytef*>(out);
        fZ.avail_out = Clamp(room);
        while (fZ.avail_out > 0) {
            if (fBetween) {
                // Zero bytes after the last member (a padded block, as tape archives leave)
                // are no data, as gzip itself takes them; anything after them is.
                while (fZ.avail_in > 0 && *fZ.next_in == 0) {
                    fPadding = true;
                    ++fZ.next_in;
                    --fZ.avail_in;
                }
                if (fZ.avail_in == 0)
                    break;
                if (fPadding) {
                    Damaged("data after the zero bytes that end it");
                    break;
                }
                fBetween = false; // another member follows
            }
            const uInt before = fZ.avail_in + fZ.avail_out;
            const int rc = inflate(&fZ, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                inflateReset(&fZ);
                fBetween = true;
                continue;
            }
            if (rc == Z_MEM_ERROR)
                throw std::bad_alloc();
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                Damaged(fZ.msg ? fZ.msg : "invalid data");
                break;
            }
            if (fZ.avail_in + fZ.avail_out == before)
                break; // wants more input
        }
        return {static_cast<std::size_t>(fZ.next_in - reinterpret_cast<const Bytef*>(in.data())),
                static_cast<std::size_t>(fZ.next_out - reinterpret_cast<Bytef*>(out))};
    }
    bool StreamEnded() const override { return fBetween; }
    std::string_view Name() const override { return "gzip"; }

    z_stream fZ{};
    bool fBetween = false; // a member has ended and no other has begun
    bool fPadding = false; // zero bytes have followed the last member
};

class Bzip2Decoder final : public CheckedDecoder {
public:
    Bzip2Decoder() { Begin(); }
    ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&fS); }

private:
    CodecStep Step(std::string_view in, char* out, std::size_t room, bool) override {
        fS.next_in = const_cast<char*>(in.data());
        fS.avail_in = Clamp(in.size());
        fS.next_out = out;
        fS.avail_out = Clamp(room);
        while (fS.avail_out > 0) {
            if (fBetween) {
                if (fS.avail_in == 0)
                    break;
                fBetween = false;
            }
            const unsigned before = fS.avail_in + fS.avail_out;
            const int rc = BZ2_bzDecompress(&fS);
            if (rc == BZ_STREAM_END) {
                BZ2_bzDecompressEnd(&fS);
                char* nextIn = fS.next_in;
                const unsigned availIn = fS.avail_in;
                char* nextOut = fS.next_out;
                const unsigned availOut = fS.avail_out;
                Begin();
                fS.next_in = nextIn;
                fS.avail_in = availIn;
                fS.next_out = nextOut;
                fS.avail_out = availOut;
                fBetween = true;
                continue;
            }
            if (rc == BZ_MEM_ERROR)
                throw std::bad_alloc();
            if (rc != BZ_OK) {
                Damaged(rc == BZ_DATA_ERROR_MAGIC ? "not bzip2 data" : "data integrity error");
                break;
            }
            if (fS.avail_in + fS.avail_out == before)
                break;
        }
        return {static_cast<std::size_t>(fS.next_in - in.data()),
                static_cast<std::size_t>(fS.next_out - out)};
    }
    bool StreamEnded() const override { return fBetween; }
    std::string_view Name() const override { return "bzip2"; }

    void Begin() {
        fS = bz_stream{};
        if (BZ2_bzDecompressInit(&fS, 0, 0) != BZ_OK)
            throw std::bad_alloc();
    }

    bz_stream fS{};
    bool fBetween = false;
};

std::string XzError(lzma_ret rc) {
    switch (rc) {
    case LZMA_FORMAT_ERROR:
        return "not xz data";
    case LZMA_OPTIONS_ERROR:
        return "unsupported options";
    default:
        return "data corrupt";
    }
}

class XzDecoder final : public CheckedDecoder {
public:
    XzDecoder() {
        if (lzma_stream_decoder(&fS, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK)
            throw std::bad_alloc();
    }
    ~XzDecoder() override { lzma_end(&fS); }

private:
    CodecStep Step(std::string_view in, char* out, std::size_t room, bool last) override {
        fS.next_in = reinterpret_cast<const std::uint8_t*>(in.data());
        fS.avail_in = in.size();
        fS.next_out = reinterpret_cast<std::uint8_t*>(out);
        fS.avail_out = room;
        while (fS.avail_out > 0 && !fEnded) {
            const std::size_t before = fS.avail_in + fS.avail_out;
            // Streams follow one another until the input ends (LZMA_CONCATENATED).
            const lzma_ret rc = lzma_code(&fS, last ? LZMA_FINISH : LZMA_RUN);
            if (rc == LZMA_STREAM_END) {
                fEnded = true;
                break;
            }
            if (rc == LZMA_MEM_ERROR)
                throw std::bad_alloc();
            if (rc != LZMA_OK && rc != LZMA_BUF_ERROR) {
                Damaged(XzError(rc));
                break;
            }
            if (fS.avail_in + fS.avail_out == before)
                break;
        }
        return {in.size() - fS.avail_in, room - fS.avail_out};
    }
    bool StreamEnded() const override { return fEnded; }
    std::string_view Name() const override { return "xz"; }

    lzma_stream fS = LZMA_STREAM_INIT;
    bool fEnded = false;
};

class ZstdDecoder final : public CheckedDecoder {
public:
    ZstdDecoder() : fD(ZSTD_createDStream()) {
        if (!fD)
            throw std::bad_alloc();
    }
    ~ZstdDecoder() override { ZSTD_freeDStream(fD); }

private:
    CodecStep Step(std::string_view in, char* out, std::size_t room, bool) override {
        ZSTD_inBuffer input{in.data(), in.size(), 0};
        ZSTD_outBuffer output{out, room, 0};
        while (output.pos < output.size) {
            const std::size_t read = input.pos;
            const std::size_t written = output.pos;
            const std::size_t rc = ZSTD_decompressStream(fD, &output, &input);
            if (ZSTD_isError(rc)) {
                Damaged(ZSTD_getErrorName(rc));
                break;
            }
            if (input.pos == read && output.pos == written)
                break;
            fFrameEnded = rc == 0; // frames follow one another
        }
        return {input.pos, output.pos};
    }
    bool StreamEnded() const override { return fFrameEnded; }
    std::string_view Name() const override { return "zstd"; }

    ZSTD_DStream* fD;
    bool fFrameEnded = false;
};

// Input in pieces the libraries can count; output through a buffer of kChunk bytes.
class ChunkedEncoder : public Encoder {
public:
    void Encode(std::string_view in, std::string& out) final {
        for (std::size_t at = 0; at < in.size(); at += kPiece)
            Run(in.substr(at, kPiece), Step::Run, out);
    }
    void Flush(std::string& out) final { Run({}, Step::Flush, out); }
    void Finish(std::string& out) final { Run({}, Step::Finish, out); }

protected:
    enum class Step { Run, Flush, Finish };
    // Takes all of `in` and appends what comes out; Flush and Finish until they are done.
    virtual void Run(std::string_view in, Step step, std::string& out) = 0;
    char fChunk[kChunk];
};

class GzipEncoder final : public ChunkedEncoder {
public:
    GzipEncoder() {
        if (deflateInit2(&fZ, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::bad_alloc();
    }
    ~GzipEncoder() override { deflateEnd(&fZ); }

private:
    void Run(std::string_view in, Step step, std::string& out) override {
        fZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        fZ.avail_in = static_cast<uInt>(in.size());
        const int flush = step == Step::Run     ? Z_NO_FLUSH
                          : step == Step::Flush ? Z_SYNC_FLUSH
                                                : Z_FINISH;
        for (;;) {
            fZ.next_out = reinterpret_cast<Bytef*>(fChunk);
            fZ.avail_out = kChunk;
            const int rc = deflate(&fZ, flush);
            if (rc == Z_STREAM_ERROR)
                throw std::runtime_error("gzip: cannot compress");
            out.append(fChunk, kChunk - fZ.avail_out);
            if (step == Step::Finish ? rc == Z_STREAM_END : fZ.avail_out > 0)
                return;
        }
    }

    z_stream fZ{};
};

class Bzip2Encoder final : public ChunkedEncoder {
public:
    Bzip2Encoder() {
        if (BZ2_bzCompressInit(&fS, 9, 0, 0) != BZ_OK)
            throw std::bad_alloc();
    }
    ~Bzip2Encoder() override { BZ2_bzCompressEnd(&fS); }

private:
    void Run(std::string_view in, Step step, std::string& out) override {
        fS.next_in = const_cast<char*>(in.data());
        fS.avail_in = static_cast<unsigned>(in.size());
        const int action = step == Step::Run ? BZ_RUN : step == Step::Flush ? BZ_FLUSH : BZ_FINISH;
        for (;;) {
            fS.next_out = fChunk;
            fS.avail_out = kChunk;
            const int rc = BZ2_bzCompress(&fS, action);
            if (rc < 0)
                throw std::runtime_error("bzip2: cannot compress");
            out.append(fChunk, kChunk - fS.avail_out);
            if (step == Step::Run ? fS.avail_in == 0 && fS.avail_out > 0
                                  : rc == (step == Step::Flush ? BZ_RUN_OK : BZ_STREAM_END))
                return;
        }
    }

    bz_stream fS{};
};

class XzEncoder final : public ChunkedEncoder {
public:
    XzEncoder() {
        if (lzma_easy_encoder(&fS, 6, LZMA_CHECK_CRC64) != LZMA_OK)
            throw std::bad_alloc();
    }
    ~XzEncoder() override { lzma_end(&fS); }

private:
    void Run(std::string_view in, Step step, std::string& out) override {
        fS.next_in = reinterpret_cast<const std::uint8_t*>(in.data());
        fS.avail_in = in.size();
        const lzma_action action = step == Step::Run     ? LZMA_RUN
                                   : step == Step::Flush ? LZMA_SYNC_FLUSH
                                                         : LZMA_FINISH;
        for (;;) {
            fS.next_out = reinterpret_cast<std::uint8_t*>(fChunk);
            fS.avail_out = kChunk;
            const lzma_ret rc = lzma_code(&fS, action);
            if (rc != LZMA_OK && rc != LZMA_STREAM_END)
                throw std::runtime_error("xz: cannot compress");
            out.append(fChunk, kChunk - fS.avail_out);
            if (step == Step::Run ? fS.avail_in == 0 && fS.avail_out > 0 : rc == LZMA_STREAM_END)
                return;
        }
    }

    lzma_stream fS = LZMA_STREAM_INIT;
};

class ZstdEncoder final : public ChunkedEncoder {
public:
    ZstdEncoder() : fC(ZSTD_createCCtx()) {
        if (!fC)
            throw std::bad_alloc();
        ZSTD_CCtx_setParameter(fC, ZSTD_c_compressionLevel, 3);
        ZSTD_CCtx_setParameter(fC, ZSTD_c_checksumFlag, 1);
    }
    ~ZstdEncoder() override { ZSTD_freeCCtx(fC); }

private:
    void Run(std::string_view in, Step step, std::string& out) override {
        ZSTD_inBuffer input{in.data(), in.size(), 0};
        const ZSTD_EndDirective mode = step == Step::Run     ? ZSTD_e_continue
                                       : step == Step::Flush ? ZSTD_e_flush
                                                             : ZSTD_e_end;
        for (;;) {
            ZSTD_outBuffer output{fChunk, kChunk, 0};
            const std::size_t rc = ZSTD_compressStream2(fC, &output, &input, mode);
            if (ZSTD_isError(rc))
                throw std::runtime_error("zstd: "s + ZSTD_getErrorName(rc));
            out.append(fChunk, output.pos);
            if (step == Step::Run ? input.pos == input.size : rc == 0)
                return;
        }
    }

    ZSTD_CCtx* fC;
};

} // namespace

std::optional<Compression> DetectCompression(std::string_view start, bool whole) {
    // bzip2: "BZh", the block size, and the magic of a first block or of the stream's end,
    // so that a text beginning "BZh" is text.
    const char level = start.size() > 3 ? start[3] : '9';
    const bool bzipLevel = level >= '1' && level <= '9';
    const std::string bzip = "BZh"s + level;
    const struct {
        Compression Format;
        std::string Magic;
    } magics[] = {
        {Compression::Gzip, "\x1f\x8b"},
        {Compression::Xz, std::string("\xfd"
                                      "7zXZ\0",
                                      6)},
        {Compression::Zstd, "\x28\xb5\x2f\xfd"},
        {Compression::Bzip2, bzip + "\x31\x41\x59\x26\x53\x59"},
        {Compression::Bzip2, bzip + "\x17\x72\x45\x38\x50\x90"},
    };
    bool undecided = false;
    for (const auto& magic : magics) {
        if (magic.Format == Compression::Bzip2 && !bzipLevel)
            continue;
        const int match = Matches(start, magic.Magic);
        if (match == 1)
            return magic.Format;
        undecided = undecided || match == 0;
    }
    if (undecided && !whole)
        return std::nullopt;
    return Compression::None;
}

std::string_view CompressionName(Compression format) {
    switch (format) {
    case Compression::Gzip:
        return "gzip";
    case Compression::Bzip2:
        return "bzip2";
    case Compression::Xz:
        return "xz";
    case Compression::Zstd:
        return "zstd";
    case Compression::None:
        break;
    }
    return "none";
}

std::optional<Compression> CompressionNamed(std::string_view name) {
    for (Compression format : {Compression::None, Compression::Gzip, Compression::Bzip2,
                               Compression::Xz, Compression::Zstd})
        if (CompressionName(format) == name)
            return format;
    return std::nullopt;
}

std::string_view CompressionSuffix(Compression format) {
    switch (format) {
    case Compression::Gzip:
        return ".gz";
    case Compression::Bzip2:
        return ".bz2";
    case Compression::Xz:
        return ".xz";
    case Compression::Zstd:
        return ".zst";
    case Compression::None:
        break;
    }
    return {};
}

std::unique_ptr<Decoder> MakeDecoder(Compression format) {
    switch (format) {
    case Compression::Gzip:
        return std::make_unique<GzipDecoder>();
    case Compression::Bzip2:
        return std::make_unique<Bzip2Decoder>();
    case Compression::Xz:
        return std::make_unique<XzDecoder>();
    case Compression::Zstd:
        return std::make_unique<ZstdDecoder>();
    case Compression::None:
        break;
    }
    throw std::invalid_argument("no decoder for uncompressed data");
}

std::unique_ptr<Encoder> MakeEncoder(Compression format) {
    switch (format) {
    case Compression::Gzip:
        return std::make_unique<GzipEncoder>();
    case Compression::Bzip2:
        return std::make_unique<Bzip2Encoder>();
    case Compression::Xz:
        return std::make_unique<XzEncoder>();
    case Compression::Zstd:
        return std::make_unique<ZstdEncoder>();
    case Compression::None:
        break;
    }
    throw std::invalid_argument("no encoder for uncompressed data");
}

} // namespace hostmoor
