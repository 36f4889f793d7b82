/*
 * qelcode for C++: the calls of qelcode.h with std::string, std::string_view,
 * std::span, iostreams and std::error_code. Header only: everything here
 * calls the functions of qelcode.h, so a program links the same library
 * (qelcode::qelcode in CMake, "pkg-config --libs qelcode").
 *
 *   std::string records = qel::encode("first line\nsecond line\n");
 *   std::string text = qel::decode(records);
 *
 * C++17 or later (an earlier standard stops at one #error). Inputs may
 * also be bytes (char, signed char, unsigned char, std::byte) in any
 * container or view with std::data() and std::size(): std::vector,
 * std::array, std::span, ...
 *
 * Errors, both ways. Every call comes in two forms:
 *   - without a std::error_code argument it throws qel::error (derived from
 *     std::system_error) when the library refuses a piece or a stream
 *     fails. These forms are left out when exceptions are off
 *     (-fno-exceptions);
 *   - with a std::error_code & argument it is noexcept: ec is cleared on
 *     success and set on failure, and the call returns what it converted
 *     before the failure. An optional qel::position * receives where.
 * The codes of the library are in qel::category(): ec.value() is the
 * QEL_RTN_ code, ec.message() the text of QEL_RtnCodeStr, and they compare
 * equal to the qel::errc values (ec == qel::errc::source_encoded).
 * Two failures are not the library's and come in std::generic_category():
 *   std::errc::no_buffer_space          a caller's buffer is too small;
 *   std::errc::operation_not_permitted  an encoder or decoder that stopped
 *                                       at a refusal or was finished is fed.
 * A noexcept call that must allocate (the std::string results) ends the
 * program if memory runs out, as any noexcept function does.
 *
 * Where a failure stands (qel::error::offset() and line(), or
 * qel::position): offset is the number of input bytes taken before the
 * refused piece (the piece starts there); line is the 1-based number of
 * the input line that holds it, counted as the line feeds before the
 * offset plus one.
 */
#ifndef QELCODE_HPP
#define QELCODE_HPP

#if !defined(__cplusplus) || (__cplusplus < 201703L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 201703L))
#error "qelcode.hpp needs C++17 or later (-std=c++17); C programs include qelcode.h"
#else

#include "qelcode.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ios>
#include <istream>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#if defined(__has_include)
#if __has_include(<version>)
#include <version>
#endif
#endif
#if defined(__cpp_lib_span)
#include <span>
#endif

#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
#define QEL_CPP_EXCEPTIONS 1
#else
#define QEL_CPP_EXCEPTIONS 0
#endif

/* What must be one object in the whole process (the error category) has
 * default visibility, so that a library or plugin built with
 * -fvisibility=hidden shares the program's. */
#if (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32) && !defined(__CYGWIN__)
#define QEL_CPP_VISIBLE __attribute__((visibility("default")))
#else
#define QEL_CPP_VISIBLE
#endif

namespace qel {

/* The library's status codes, for comparisons with a std::error_code. */
enum class errc : int {
    no_source = QEL_RTN_NO_SOURCE,
    no_destination = QEL_RTN_NO_DESTINATION,
    read_error = QEL_RTN_READ_ERROR,
    write_error = QEL_RTN_WRITE_ERROR,
    empty_source = QEL_RTN_EMPTY_SOURCE,
    source_encoded = QEL_RTN_SOURCE_ENCODED,
    source_not_encoded = QEL_RTN_SOURCE_NOT_ENCODED,
    line_too_long = QEL_RTN_LINE_TOO_LONG,
    nul_in_source = QEL_RTN_NUL_IN_SOURCE,
    record_damaged = QEL_RTN_RECORD_DAMAGED,
};

/* Options of the encoding calls. force encodes lines that already carry
 * the encoded mark (QEL_FORCE). */
enum class flags : std::uint32_t { none = 0, force = QEL_FORCE };

/* Where a failure stands: input bytes taken before it, and its line. */
struct position {
    std::uint64_t offset = 0;
    std::uint64_t line = 0;
};

namespace detail {
class QEL_CPP_VISIBLE category_impl final : public std::error_category {
public:
    const char *name() const noexcept override { return "qelcode"; }
    std::string message(int code) const override { return QEL_RtnCodeStr(static_cast<std::int32_t>(code)); }
};
}  // namespace detail

/* The category of the library's codes: name "qelcode", messages from
 * QEL_RtnCodeStr. One object for the whole process, also across shared
 * libraries built with hidden visibility (ELF targets). */
QEL_CPP_VISIBLE inline const std::error_category &category() noexcept {
    static const detail::category_impl instance;
    return instance;
}

inline std::error_code make_error_code(errc e) noexcept { return {static_cast<int>(e), category()}; }

/* A refusal or failure: code() as described above, the position of the
 * refused piece, and the output converted before it (the output of this
 * call only; for an encoder or decoder, of this feed() or finish()). The
 * stream calls have written that output already and the record calls
 * convert one piece: for them output() is empty. */
class error : public std::system_error {
public:
    error(std::error_code code, position where, std::string output)
        : std::system_error(code), where_(where), output_(std::move(output)) {}
    std::uint64_t offset() const noexcept { return where_.offset; }
    std::uint64_t line() const noexcept { return where_.line; }
    const std::string &output() const noexcept { return output_; }

private:
    position where_;
    std::string output_;
};

/* Room that always suffices for the output of size bytes of input
 * (QEL_EncodeBound, QEL_DecodeBound; SIZE_MAX when that does not fit). */
inline std::size_t encode_bound(std::size_t size) noexcept { return QEL_EncodeBound(size); }
inline std::size_t decode_bound(std::size_t size) noexcept { return QEL_DecodeBound(size); }

namespace detail {

/* Bytes in a container or view, taken by the calls that take a
 * std::string_view besides: char, signed char, unsigned char, std::byte. */
template <class T>
struct is_byte : std::false_type {};
template <>
struct is_byte<char> : std::true_type {};
template <>
struct is_byte<signed char> : std::true_type {};
template <>
struct is_byte<unsigned char> : std::true_type {};
template <>
struct is_byte<std::byte> : std::true_type {};

/* The element type of R's std::data(), void where R has none. */
template <class R, class = void>
struct data_of {
    using type = void;
};
template <class R>
struct data_of<R, std::void_t<decltype(std::data(std::declval<R &>())), decltype(std::size(std::declval<R &>()))>> {
    using pointer = decltype(std::data(std::declval<R &>()));
    using type = std::conditional_t<std::is_pointer<pointer>::value, std::remove_pointer_t<pointer>, void>;
};

/* An input of bytes other than what converts to std::string_view (which
 * takes that form). */
class input_bytes {
public:
    template <class R, class T = typename data_of<const R>::type,
              std::enable_if_t<is_byte<std::remove_cv_t<T>>::value &&
                                   !std::is_convertible<const R &, std::string_view>::value,
                               int> = 0>
    input_bytes(const R &bytes) noexcept  // implicit, as a std::string_view converts
        : view_(reinterpret_cast<const char *>(std::data(bytes)), std::size(bytes)) {}
    std::string_view view() const noexcept { return view_; }

private:
    std::string_view view_;
};

/* Room of bytes that are not const, for encode_into and decode_into. */
class output_bytes {
public:
    template <class R, class T = typename data_of<std::remove_reference_t<R>>::type,
              std::enable_if_t<is_byte<T>::value, int> = 0>
    output_bytes(R &&bytes) noexcept  // implicit
        : data_(reinterpret_cast<char *>(std::data(bytes))), size_(std::size(bytes)) {}
    char *data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    char *data_;
    std::size_t size_;
};

/* The line feeds in n bytes, for the line of a single buffer call's
 * failure (into()); a conversion over many calls has its line from its
 * QEL_Converter. Counted a block of 64 bytes at a time: a loop of fixed
 * length that compilers turn into vector compares. */
inline std::uint64_t line_feeds(const char *p, std::size_t n) noexcept {
    constexpr std::size_t block = 64;
    std::uint64_t count = 0;
    std::size_t i = 0;
    for (; n - i >= block; i += block) {
        unsigned char in_block = 0;
        for (std::size_t j = 0; j < block; ++j) in_block = static_cast<unsigned char>(in_block + (p[i + j] == '\n'));
        count += in_block;
    }
    for (; i < n; ++i) count += p[i] == '\n';
    return count;
}

inline void set(std::error_code &ec, position *where, std::error_code code, position at) noexcept {
    ec = code;
    if (where) *where = at;
}

inline void clear(std::error_code &ec, position *where) noexcept {
    ec.clear();
    if (where) *where = position{};
}

/* Appends to out what write(dest) puts at dest, at most room bytes, and
 * answers the bytes written. With C++23's resize_and_overwrite the room is
 * left as it is; before it, resize() fills it with zeros first. */
template <class Write>
std::size_t append_written(std::string &out, std::size_t room, Write &&write) noexcept {
    const std::size_t before = out.size();
#if defined(__cpp_lib_string_resize_and_overwrite)
    std::size_t written = 0;
    out.resize_and_overwrite(before + room, [&](char *p, std::size_t) noexcept {
        written = write(p + before);
        return before + written;
    });
#else
    out.resize(before + room);
    const std::size_t written = write(&out[before]);
    out.resize(before + written);
#endif
    return written;
}

/* The output room of one call on a part of a conversion: enough for all of
 * it up to a scratch size, and always more than one piece's output. */
constexpr std::size_t scratch_size = 256 * 1024;
constexpr std::size_t piece_room = 1024;

/* One conversion over as many calls as its input needs, on a QEL_Converter:
 * the library holds what a call could not finish (the start of a piece that
 * may go on, output that did not fit) and counts the offset and line of the
 * next piece. Serves the whole-buffer calls, qel::encoder and qel::decoder,
 * and the iostreams; copied when they are moved (a QEL_Converter may be
 * copied). */
class converter {
public:
    converter(bool encoding, std::uint32_t flag_bits) noexcept
        : bound_(encoding ? &QEL_EncodeBound : &QEL_DecodeBound) {
        QEL_ConverterInit(&state_, (encoding ? 0u : QEL_DECODE) | flag_bits);
    }

    /* Where the next piece starts, or the refused one. */
    position where() const noexcept { return {QEL_ConverterOffset(&state_), QEL_ConverterLine(&state_)}; }
    std::uint64_t offset() const noexcept { return QEL_ConverterOffset(&state_); }

    /* Room for the output of size more bytes of input and what the
     * converter holds, at most scratch_size: small enough that the room is
     * still in cache when a call writes it. */
    std::size_t room(std::size_t size) const noexcept {
        std::size_t n = bound_(size);
        if (n > scratch_size - piece_room) n = scratch_size - piece_room;
        return n + piece_room;
    }

    /* Puts size bytes of data through the converter, last when they end the
     * input, and hands over all the output the converter can give for
     * them. Every call writes into room that sink gives: sink(size left,
     * put) calls put(dest, room), which answers the bytes written there,
     * and answers false when they could not be written on. Answers
     * QEL_RTN_SUCCESSFUL, the refusal (the output before it handed over),
     * or QEL_RTN_WRITE_ERROR when sink failed. */
    template <class Sink>
    std::int32_t pump(const char *data, std::size_t size, bool last, Sink &&sink) noexcept {
        for (;;) {
            std::int32_t status = QEL_STATUS_INIT;
            std::size_t produced = 0, consumed = 0;
            const bool written = sink(size, [&](char *dest, std::size_t room) noexcept {
                QEL_ConverterPut(&state_, dest, room, &produced, data, size, &consumed, last ? QEL_LAST : 0u,
                                 &status);
                return produced;
            });
            data += consumed;
            size -= consumed;
            if (!written) return QEL_RTN_WRITE_ERROR;
            if (status != QEL_RTN_SUCCESSFUL) return status;
            if (produced == 0) {
                if (size == 0) return QEL_RTN_SUCCESSFUL;  // nothing held that this input could give
                if (consumed == 0) return QEL_RTN_RECORD_DAMAGED;  // never: a call with room moves on
            }
        }
    }

private:
    QEL_Converter state_;
    std::size_t(QEL_CALL *bound_)(std::size_t);
};

/* Output appended to a string: each call of a pump writes at its end, and
 * the string keeps what the call wrote. */
class string_sink {
public:
    string_sink(std::string &out, const converter &conv) noexcept : out_(out), conv_(conv) {}
    template <class Put>
    bool operator()(std::size_t size, Put &&put) noexcept {
        const std::size_t room = conv_.room(size);
        if (room <= small_room) {
            // A small piece goes through room on the stack: most make no
            // output, and those cost no allocation.
            char local[small_room];
            out_.append(local, put(local, room));
            return true;
        }
        append_written(out_, room, [&](char *dest) noexcept { return put(dest, room); });
        return true;
    }

private:
    static constexpr std::size_t small_room = 4096;
    std::string &out_;
    const converter &conv_;
};

/* Output written to a stream from one buffer. */
class stream_sink {
public:
    stream_sink(std::ostream &out, std::string &buffer) noexcept : out_(out), buffer_(buffer) {}
    template <class Put>
    bool operator()(std::size_t, Put &&put) noexcept {
        const std::size_t n = put(&buffer_[0], buffer_.size());
        return n == 0 || static_cast<bool>(out_.write(buffer_.data(), static_cast<std::streamsize>(n)));
    }

private:
    std::ostream &out_;
    std::string &buffer_;
};

/* A whole input into out (appended). The string gets room for the usual
 * output at once, without touching it, and grows only by what each call
 * writes: the first write to fresh memory can cost more than the
 * conversion itself, and the bound (four bytes a byte) is far above what
 * text gives. Output beyond
 * that room (lines of a few bytes) grows the string as appending does. */
inline void whole(std::string &out, bool encoding, std::uint32_t flag_bits, const char *data, std::size_t size,
                  std::error_code &ec, position *where) noexcept {
    clear(ec, where);
    if (size == 0) return;
    // Input that lies in out (encode_append(s, s)) is read from a copy, as
    // s.append(s) reads it: out grows, and may move, while it is read.
    const std::less<const char *> before;
    if (before(data, out.data() + out.size()) && before(out.data(), data + size)) {
        const std::string copy(data, size);
        whole(out, encoding, flag_bits, copy.data(), copy.size(), ec, where);
        return;
    }
    const std::size_t most = (encoding ? QEL_EncodeBound : QEL_DecodeBound)(size);
    if (most > out.max_size() - out.size()) {
        set(ec, where, std::make_error_code(std::errc::no_buffer_space), {0, 1});
        return;
    }
    std::size_t usual = encoding ? size + size / 2 + piece_room : size;
    if (usual > most) usual = most;
    if (out.capacity() - out.size() < usual) {
        // At least doubled, as appending grows a string, so that a loop of
        // small appends stays linear where reserve() takes the exact size.
        std::size_t capacity = out.size() + usual;
        if (capacity < out.capacity() * 2 && out.capacity() <= out.max_size() / 2) capacity = out.capacity() * 2;
        out.reserve(capacity);
    }
    converter conv(encoding, flag_bits);
    const std::int32_t status = conv.pump(data, size, true, string_sink(out, conv));
    if (status != QEL_RTN_SUCCESSFUL) set(ec, where, {status, category()}, conv.where());
}

/* The same into a caller's buffer, in one buffer call, which writes the
 * output of whole pieces only; answers the bytes written. */
inline std::size_t into(char *dest, std::size_t dest_size, bool encoding, std::uint32_t flag_bits,
                        const char *data, std::size_t size, std::error_code &ec, position *where) noexcept {
    clear(ec, where);
    if (size == 0) return 0;
    std::size_t produced = 0, consumed = 0;
    std::int32_t status = QEL_STATUS_INIT;
    (encoding ? QEL_EncodeBuffer : QEL_DecodeBuffer)(dest, dest_size, &produced, data, size, &consumed,
                                                     flag_bits | QEL_LAST, &status);
    const position at{consumed, line_feeds(data, consumed) + 1};
    if (status != QEL_RTN_SUCCESSFUL)
        set(ec, where, {status, category()}, at);
    else if (consumed < size)
        set(ec, where, std::make_error_code(std::errc::no_buffer_space), at);
    return produced;
}

/* One record call on a copy of line in a buffer with room for the record. */
inline std::string record(bool encoding, std::string_view line, std::error_code &ec, position *where) noexcept {
    clear(ec, where);
    std::string buf(line);
    if (buf.find('\0') != std::string::npos) {  // the C call would stop at it
        set(ec, where, encoding ? make_error_code(errc::nul_in_source) : make_error_code(errc::record_damaged),
            {0, 1});
        return {};
    }
    buf.resize((line.size() < QEL_RECORD_BUFFER_SIZE ? QEL_RECORD_BUFFER_SIZE : line.size()) + 5, '\0');
    std::int32_t status = QEL_STATUS_INIT;
    (encoding ? QEL_EncodeRecord : QEL_DecodeRecord)(nullptr, &buf[0], &status);
    if (status != QEL_RTN_SUCCESSFUL) {
        set(ec, where, {status, category()}, {0, 1});
        return {};
    }
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

/* A stream's exceptions() mask set to none for the length of a call, so
 * that every failure of the stream is a state to look at, and set back at
 * the end. A state bit that the mask names (eofbit at the end of the input,
 * badbit after a failed write) stays set where exceptions are on, as after
 * the stream's own exception, which is not thrown; without exceptions it is
 * cleared, since setting the mask back would throw. */
class quiet_stream {
public:
    explicit quiet_stream(std::ios &stream) noexcept : stream_(stream), mask_(stream.exceptions()) {}
    void quiet() noexcept { stream_.exceptions(std::ios::goodbit); }  // never throws: no bit is named
    quiet_stream(const quiet_stream &) = delete;
    quiet_stream &operator=(const quiet_stream &) = delete;
    ~quiet_stream() {
#if QEL_CPP_EXCEPTIONS
        try {
            stream_.exceptions(mask_);
        } catch (...) {  // the mask is set, the state kept
        }
#else
        stream_.clear(stream_.rdstate() & ~mask_);
        stream_.exceptions(mask_);
#endif
    }

private:
    std::ios &stream_;
    std::ios::iostate mask_;
};

/* Reads up to size bytes into dest, as many as in gives before its end or
 * a failure, and answers how many arrived: what its buffer holds
 * (readsome), then a wait for more (peek), and again. So every byte that
 * arrived before a failure is counted, also when the stream buffer throws
 * (the stream then has badbit). A buffer that hands out bytes without
 * holding them (std::cin synced with stdio) is read with read(). */
inline std::size_t read_some(std::istream &in, char *dest, std::size_t size) noexcept {
    using traits = std::istream::traits_type;
    std::size_t got = 0;
    while (got < size && in.good()) {
        std::streamsize n = in.readsome(dest + got, static_cast<std::streamsize>(size - got));
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (!in.good() || traits::eq_int_type(in.peek(), traits::eof())) break;
        n = in.readsome(dest + got, static_cast<std::streamsize>(size - got));  // what the wait brought
        if (n == 0 && in.good()) {
            in.read(dest + got, static_cast<std::streamsize>(size - got));
            n = in.gcount();
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

/* A stream through a converter, in constant memory: input is read into one
 * buffer, converted into another and written from there; the converter
 * holds the start of a piece that goes on into the next read. Nothing is
 * allocated after the start. Both streams' exceptions() are off meanwhile:
 * a failure is found at the same place either way. */
constexpr std::size_t stream_chunk = 256 * 1024;

inline void streams(std::istream &in, std::ostream &out, bool encoding, std::uint32_t flag_bits,
                    std::error_code &ec, position *where) noexcept {
    clear(ec, where);
    quiet_stream in_mask(in), out_mask(out);  // both saved first: in and out may be one stream
    in_mask.quiet();
    out_mask.quiet();
    if (!out.good()) {  // a write would do nothing
        set(ec, where, make_error_code(errc::write_error), {0, 1});
        return;
    }
    std::string input(stream_chunk, '\0');
    std::string output(stream_chunk + stream_chunk / 2, '\0');
    converter conv(encoding, flag_bits);
    bool any = false;
    for (;;) {
        const std::size_t got = read_some(in, &input[0], input.size());
        const bool failed = in.bad() || (in.fail() && !in.eof());
        const bool end = !failed && in.eof();
        any = any || got != 0;
        if (end && !any) {
            set(ec, where, make_error_code(errc::empty_source), {0, 0});
            return;
        }
        // The bytes read before a failure still give their whole pieces.
        const std::int32_t status = conv.pump(input.data(), got, end, stream_sink(out, output));
        if (status != QEL_RTN_SUCCESSFUL) {
            set(ec, where, {status, category()}, conv.where());
            return;
        }
        if (failed) {
            set(ec, where, make_error_code(errc::read_error), conv.where());
            return;
        }
        if (end) break;
    }
    if (!out.flush()) set(ec, where, make_error_code(errc::write_error), conv.where());
}

inline void files(std::FILE *in, std::FILE *out, bool encoding, std::uint32_t flag_bits, std::error_code &ec,
                  position *where) noexcept {
    clear(ec, where);
    std::uint64_t line = 0;
    std::int32_t status = QEL_STATUS_INIT;
    if (encoding)
        QEL_EncodeStream(out, in, flag_bits, &line, &status);
    else
        QEL_DecodeStream(out, in, flag_bits, &line, &status);
    if (status != QEL_RTN_SUCCESSFUL)
        set(ec, where, {status, category()}, {0, line});
    else if (where)
        where->line = line;  // the lines read
}

#if QEL_CPP_EXCEPTIONS
[[noreturn]] inline void raise(std::error_code ec, position where, std::string output) {
    throw error(ec, where, std::move(output));
}
#endif

}  // namespace detail

/*
 * Whole buffers: the records of text (encode) or the text of records
 * (decode), through a QEL_Converter in calls of at most 256 KiB of output
 * each, so byte for byte what QEL_EncodeBuffer (QEL_DecodeBuffer) with
 * QEL_LAST and QEL_EncodeStream (QEL_DecodeStream) write for the same
 * bytes. A new
 * string gets the capacity of one and a half times the input when
 * encoding, as much as the input when decoding, and grows past that only
 * for output that needs it (text of very short lines). Empty input gives
 * empty output, not QEL_RTN_EMPTY_SOURCE.
 * Refusals: errc::source_encoded, nul_in_source (encode),
 * source_not_encoded, record_damaged, nul_in_source (decode); the output
 * before the refused piece is returned (error_code form) or carried by
 * qel::error::output().
 *
 *   encode(text [, flags])                         -> std::string
 *   encode(text, ec [, flags [, position *]])      -> std::string, noexcept
 *   decode(records)  decode(records, ec [, position *])
 * text and records: std::string_view (so std::string and literals), or
 * bytes in a container (below).
 *
 * Appending: encode_append(out, text [, flags]) and the same with ec
 * append to out and leave what was there; on a refusal out holds the
 * output before the refused piece after what was there.
 *
 * A caller's buffer: encode_into(dest, dest_size, text ...), one
 * QEL_EncodeBuffer (QEL_DecodeBuffer) call, writes at most
 * dest_size bytes and answers the bytes written; dest_size of
 * encode_bound(text.size()) (decode_bound) always suffices, and a smaller
 * one that does not hold the whole output fails with
 * std::errc::no_buffer_space, the bytes before position::offset converted.
 */
inline std::string encode(std::string_view text, std::error_code &ec, flags f = flags::none,
                          position *where = nullptr) noexcept {
    std::string out;
    detail::whole(out, true, static_cast<std::uint32_t>(f), text.data(), text.size(), ec, where);
    return out;
}
inline std::string decode(std::string_view records, std::error_code &ec, position *where = nullptr) noexcept {
    std::string out;
    detail::whole(out, false, 0, records.data(), records.size(), ec, where);
    return out;
}
inline void encode_append(std::string &out, std::string_view text, std::error_code &ec, flags f = flags::none,
                          position *where = nullptr) noexcept {
    detail::whole(out, true, static_cast<std::uint32_t>(f), text.data(), text.size(), ec, where);
}
inline void decode_append(std::string &out, std::string_view records, std::error_code &ec,
                          position *where = nullptr) noexcept {
    detail::whole(out, false, 0, records.data(), records.size(), ec, where);
}
inline std::size_t encode_into(char *dest, std::size_t dest_size, std::string_view text, std::error_code &ec,
                               flags f = flags::none, position *where = nullptr) noexcept {
    return detail::into(dest, dest_size, true, static_cast<std::uint32_t>(f), text.data(), text.size(), ec, where);
}
inline std::size_t decode_into(char *dest, std::size_t dest_size, std::string_view records, std::error_code &ec,
                               position *where = nullptr) noexcept {
    return detail::into(dest, dest_size, false, 0, records.data(), records.size(), ec, where);
}

#if QEL_CPP_EXCEPTIONS
inline std::string encode(std::string_view text, flags f = flags::none) {
    std::error_code ec;
    position at;
    std::string out = encode(text, ec, f, &at);
    if (ec) detail::raise(ec, at, std::move(out));
    return out;
}
inline std::string decode(std::string_view records) {
    std::error_code ec;
    position at;
    std::string out = decode(records, ec, &at);
    if (ec) detail::raise(ec, at, std::move(out));
    return out;
}
inline void encode_append(std::string &out, std::string_view text, flags f = flags::none) {
    std::error_code ec;
    position at;
    const std::size_t before = out.size();
    encode_append(out, text, ec, f, &at);
    if (ec) detail::raise(ec, at, out.substr(before));
}
inline void decode_append(std::string &out, std::string_view records) {
    std::error_code ec;
    position at;
    const std::size_t before = out.size();
    decode_append(out, records, ec, &at);
    if (ec) detail::raise(ec, at, out.substr(before));
}
inline std::size_t encode_into(char *dest, std::size_t dest_size, std::string_view text, flags f = flags::none) {
    std::error_code ec;
    position at;
    const std::size_t n = encode_into(dest, dest_size, text, ec, f, &at);
    if (ec) detail::raise(ec, at, std::string(dest, n));
    return n;
}
inline std::size_t decode_into(char *dest, std::size_t dest_size, std::string_view records) {
    std::error_code ec;
    position at;
    const std::size_t n = decode_into(dest, dest_size, records, ec, &at);
    if (ec) detail::raise(ec, at, std::string(dest, n));
    return n;
}
#endif

/* The same on bytes: the input may be any container or view of char,
 * signed char, unsigned char (std::uint8_t) or std::byte with std::data()
 * and std::size() (std::vector, std::array, std::span, an array of
 * unsigned char, ...), and the destination of encode_into and decode_into
 * any such of bytes that are not const. A std::string, a literal or an
 * array of char takes the std::string_view form (an array of char up to
 * its NUL). */
inline std::string encode(detail::input_bytes text, std::error_code &ec, flags f = flags::none,
                          position *where = nullptr) noexcept {
    return encode(text.view(), ec, f, where);
}
inline std::string decode(detail::input_bytes records, std::error_code &ec, position *where = nullptr) noexcept {
    return decode(records.view(), ec, where);
}
inline void encode_append(std::string &out, detail::input_bytes text, std::error_code &ec, flags f = flags::none,
                          position *where = nullptr) noexcept {
    encode_append(out, text.view(), ec, f, where);
}
inline void decode_append(std::string &out, detail::input_bytes records, std::error_code &ec,
                          position *where = nullptr) noexcept {
    decode_append(out, records.view(), ec, where);
}
inline std::size_t encode_into(detail::output_bytes dest, std::string_view text, std::error_code &ec,
                               flags f = flags::none, position *where = nullptr) noexcept {
    return encode_into(dest.data(), dest.size(), text, ec, f, where);
}
inline std::size_t encode_into(detail::output_bytes dest, detail::input_bytes text, std::error_code &ec,
                               flags f = flags::none, position *where = nullptr) noexcept {
    return encode_into(dest.data(), dest.size(), text.view(), ec, f, where);
}
inline std::size_t decode_into(detail::output_bytes dest, std::string_view records, std::error_code &ec,
                               position *where = nullptr) noexcept {
    return decode_into(dest.data(), dest.size(), records, ec, where);
}
inline std::size_t decode_into(detail::output_bytes dest, detail::input_bytes records, std::error_code &ec,
                               position *where = nullptr) noexcept {
    return decode_into(dest.data(), dest.size(), records.view(), ec, where);
}
#if QEL_CPP_EXCEPTIONS
inline std::string encode(detail::input_bytes text, flags f = flags::none) { return encode(text.view(), f); }
inline std::string decode(detail::input_bytes records) { return decode(records.view()); }
inline void encode_append(std::string &out, detail::input_bytes text, flags f = flags::none) {
    encode_append(out, text.view(), f);
}
inline void decode_append(std::string &out, detail::input_bytes records) { decode_append(out, records.view()); }
inline std::size_t encode_into(detail::output_bytes dest, std::string_view text, flags f = flags::none) {
    return encode_into(dest.data(), dest.size(), text, f);
}
inline std::size_t encode_into(detail::output_bytes dest, detail::input_bytes text, flags f = flags::none) {
    return encode_into(dest.data(), dest.size(), text.view(), f);
}
inline std::size_t decode_into(detail::output_bytes dest, std::string_view records) {
    return decode_into(dest.data(), dest.size(), records);
}
inline std::size_t decode_into(detail::output_bytes dest, detail::input_bytes records) {
    return decode_into(dest.data(), dest.size(), records.view());
}
#endif

/*
 * One record (QEL_EncodeRecord, QEL_DecodeRecord on a copy).
 * encode_record(line): line is one line with or without its line end (LF
 * or CR LF); answers the record, ending with a line feed. Refusals:
 * errc::source_encoded (the line carries the encoded mark),
 * line_too_long (more than 507 bytes without the line end), nul_in_source
 * (a NUL byte, which the C call would take for the end of the line).
 * decode_record(record): a record with or without its line end; answers
 * the text followed by one line feed. Refusals: source_not_encoded,
 * record_damaged (also for a NUL byte). Position: offset 0, line 1.
 */
inline std::string encode_record(std::string_view line, std::error_code &ec, position *where = nullptr) noexcept {
    return detail::record(true, line, ec, where);
}
inline std::string decode_record(std::string_view record, std::error_code &ec,
                                 position *where = nullptr) noexcept {
    return detail::record(false, record, ec, where);
}
#if QEL_CPP_EXCEPTIONS
inline std::string encode_record(std::string_view line) {
    std::error_code ec;
    position at;
    std::string out = encode_record(line, ec, &at);
    if (ec) detail::raise(ec, at, {});
    return out;
}
inline std::string decode_record(std::string_view record) {
    std::error_code ec;
    position at;
    std::string out = decode_record(record, ec, &at);
    if (ec) detail::raise(ec, at, {});
    return out;
}
#endif
inline std::string encode_record(detail::input_bytes line, std::error_code &ec, position *where = nullptr) noexcept {
    return encode_record(line.view(), ec, where);
}
inline std::string decode_record(detail::input_bytes record, std::error_code &ec,
                                 position *where = nullptr) noexcept {
    return decode_record(record.view(), ec, where);
}
#if QEL_CPP_EXCEPTIONS
inline std::string encode_record(detail::input_bytes line) { return encode_record(line.view()); }
inline std::string decode_record(detail::input_bytes record) { return decode_record(record.view()); }
#endif

/*
 * Input that arrives in pieces, split anywhere:
 *
 *   qel::encoder enc;                  // qel::encoder enc(qel::flags::force);
 *   for (auto piece : pieces) out += enc.feed(piece);
 *   out += enc.finish();
 *
 * feed(piece) answers the output of every piece of the input that is now
 * complete; the start of a piece that may go on waits for the next call.
 * finish() ends the input and answers the output of what is left (a last
 * line without a line feed is taken too). Put together, the output is byte
 * for byte what encode() (decode()) gives for the whole input.
 * At a refusal the call fails with the position counted from the start of
 * the whole input and the output of this call before the refused piece;
 * the object then takes nothing more: later calls, like calls after
 * finish(), fail with std::errc::operation_not_permitted.
 * offset() is the number of input bytes converted so far; after a
 * refusal, the offset of the refused piece, which later calls report.
 * An object is used by one thread at a time; it may be moved.
 */
namespace detail {
/* What qel::encoder and qel::decoder share: a converter, stopped for good
 * at a refusal or after finish(). */
class incremental {
public:
    std::string feed(std::string_view piece, std::error_code &ec, position *where = nullptr) noexcept {
        std::string out;
        run(out, piece.data(), piece.size(), false, ec, where);
        return out;
    }
    std::string finish(std::error_code &ec, position *where = nullptr) noexcept {
        std::string out;
        run(out, nullptr, 0, true, ec, where);
        return out;
    }
#if QEL_CPP_EXCEPTIONS
    std::string feed(std::string_view piece) { return raising(piece.data(), piece.size(), false); }
    std::string finish() { return raising(nullptr, 0, true); }
#endif
    std::string feed(input_bytes piece, std::error_code &ec, position *where = nullptr) noexcept {
        return feed(piece.view(), ec, where);
    }
#if QEL_CPP_EXCEPTIONS
    std::string feed(input_bytes piece) { return feed(piece.view()); }
#endif
    std::uint64_t offset() const noexcept { return conv_.offset(); }

protected:
    incremental(bool encoding, std::uint32_t f) noexcept : conv_(encoding, f) {}

private:
    void run(std::string &out, const char *data, std::size_t size, bool last, std::error_code &ec,
             position *where) noexcept {
        if (stopped_) {
            set(ec, where, std::make_error_code(std::errc::operation_not_permitted), conv_.where());
            return;
        }
        clear(ec, where);
        stopped_ = last;
        const std::int32_t status = conv_.pump(data, size, last, string_sink(out, conv_));
        if (status != QEL_RTN_SUCCESSFUL) {
            stopped_ = true;
            set(ec, where, {status, category()}, conv_.where());
        }
    }
#if QEL_CPP_EXCEPTIONS
    std::string raising(const char *data, std::size_t size, bool last) {
        std::string out;
        std::error_code ec;
        position at;
        run(out, data, size, last, ec, &at);
        if (ec) raise(ec, at, std::move(out));
        return out;
    }
#endif
    converter conv_;
    bool stopped_ = false;
};

}  // namespace detail

/* Text that arrives in pieces; flags::force as for encode(). */
class encoder : public detail::incremental {
public:
    explicit encoder(flags f = flags::none) noexcept : incremental(true, static_cast<std::uint32_t>(f)) {}
};

/* Records that arrive in pieces, split anywhere; as qel::encoder. */
class decoder : public detail::incremental {
public:
    decoder() noexcept : incremental(false, 0) {}
};

/*
 * Streams, in constant memory through a QEL_Converter (256 KiB read at a
 * time):
 *   encode(std::istream &in, std::ostream &out [, flags])
 *   encode(in, out, ec [, flags [, position *]])  noexcept
 *   decode(in, out)  decode(in, out, ec [, position *])
 * Records (text) converted before a failure stay written. Codes: as the
 * whole-buffer calls, and errc::empty_source when in gives no byte at all,
 * errc::read_error when in fails (badbit, or failbit before its end),
 * errc::write_error when out fails on a write or the final flush, or is
 * not good() at the start (then before anything is read). A stream whose
 * exceptions() are set works the same: its mask is off for the call and
 * set back at the end (quiet_stream), so the end of the input is no error
 * and a failure is found where it happens. The position counts the input
 * bytes converted.
 *
 * FILE streams (QEL_EncodeStream, QEL_DecodeStream), input first like
 * every call here, the other way round from the C calls:
 *   encode(std::FILE *in, std::FILE *out [, flags])
 *   encode(in, out, ec [, flags [, position *]])  noexcept
 * Codes as the C calls; the position has offset 0 (the C call does not
 * report it) and the line the C call reports: where it stopped, or on
 * success the lines (records) read.
 */
inline void encode(std::istream &in, std::ostream &out, std::error_code &ec, flags f = flags::none,
                   position *where = nullptr) noexcept {
    detail::streams(in, out, true, static_cast<std::uint32_t>(f), ec, where);
}
inline void decode(std::istream &in, std::ostream &out, std::error_code &ec, position *where = nullptr) noexcept {
    detail::streams(in, out, false, 0, ec, where);
}
inline void encode(std::FILE *in, std::FILE *out, std::error_code &ec, flags f = flags::none,
                   position *where = nullptr) noexcept {
    detail::files(in, out, true, static_cast<std::uint32_t>(f), ec, where);
}
inline void decode(std::FILE *in, std::FILE *out, std::error_code &ec, position *where = nullptr) noexcept {
    detail::files(in, out, false, 0, ec, where);
}
#if QEL_CPP_EXCEPTIONS
inline void encode(std::istream &in, std::ostream &out, flags f = flags::none) {
    std::error_code ec;
    position at;
    encode(in, out, ec, f, &at);
    if (ec) detail::raise(ec, at, {});
}
inline void decode(std::istream &in, std::ostream &out) {
    std::error_code ec;
    position at;
    decode(in, out, ec, &at);
    if (ec) detail::raise(ec, at, {});
}
inline void encode(std::FILE *in, std::FILE *out, flags f = flags::none) {
    std::error_code ec;
    position at;
    encode(in, out, ec, f, &at);
    if (ec) detail::raise(ec, at, {});
}
inline void decode(std::FILE *in, std::FILE *out) {
    std::error_code ec;
    position at;
    decode(in, out, ec, &at);
    if (ec) detail::raise(ec, at, {});
}
#endif

}  // namespace qel

namespace std {
template <>
struct is_error_code_enum<qel::errc> : true_type {};
}  // namespace std

#endif /* C++17 */
#endif /* QELCODE_HPP */
