// Plain planning rules over C++ values, shared by the accelplan functions.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velkora::accelplan {

// Estimates saturate here rather than at the 64-bit limit, so callers can
// still add a little to an estimate without wrapping.
inline constexpr std::uint64_t kEstimateCap = 9223372036854775807ULL;

// A double truncated to a byte count: NaN and non-positive values give 0,
// anything at or beyond 2^64 (infinity included) the largest count.
inline std::uint64_t to_byte_count(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Headroom clamped to 0.0-0.99 (a NaN counts as the largest, 0.99), then
// (1 - headroom) x bytes truncated, never above the bytes themselves: beyond
// 2^53 their double may round up past them (to 2^64 at the very top).
inline std::uint64_t safe_limit(std::uint64_t available_bytes, double headroom_ratio) {
    double headroom = headroom_ratio;
    if (std::isnan(headroom)) {
        headroom = 0.99;
    } else if (headroom < 0.0) {
        headroom = 0.0;
    } else if (headroom > 0.99) {
        headroom = 0.99;
    }
    const std::uint64_t limit = to_byte_count((1.0 - headroom) * static_cast<double>(available_bytes));
    return limit < available_bytes ? limit : available_bytes;
}

// ---- Allocation estimate ------------------------------------------------

// Feeds one dimension into the element count; returns false when the scan
// is over, with `elements` then holding the final answer (0 for an empty
// axis, the cap once the count would pass it).
inline bool count_dimension(std::uint64_t& elements, std::int32_t dimension) {
    if (dimension <= 0) {
        elements = 0;
        return false;
    }
    // Past the cap exactly when elements > cap / dimension; a multiplication
    // tells without the division, which costs more than the rest.
    std::uint64_t product;
    if (__builtin_mul_overflow(elements, static_cast<std::uint64_t>(dimension), &product) ||
        product > kEstimateCap) {
        elements = kEstimateCap;
        return false;
    }
    elements = product;
    return true;
}

// Bytes for `elements` elements; element_size is never negative here. The
// overhead factor only ever inflates an estimate.
inline std::uint64_t allocation_bytes(std::uint64_t elements, std::int32_t element_size,
                                      double overhead_factor) {
    std::uint64_t total;
    if (__builtin_mul_overflow(elements, static_cast<std::uint64_t>(element_size), &total) ||
        total > kEstimateCap) {
        return kEstimateCap;
    }
    if (overhead_factor > 1.0) return to_byte_count(static_cast<double>(total) * overhead_factor);
    return total;
}

// ---- Strategy -------------------------------------------------------------

enum class Strategy { no_memory, fits, not_chunkable, chunked };

struct Decision {
    Strategy strategy;
    std::uint64_t chunk_size = 0;
    std::uint64_t chunk_count = 1;
};

// The decision tuple's strategy code: GPU direct 0, GPU chunked 1, CPU 2.
inline int strategy_code(Strategy strategy) {
    switch (strategy) {
        case Strategy::fits:
            return 0;
        case Strategy::chunked:
            return 1;
        case Strategy::no_memory:
        case Strategy::not_chunkable:
            break;
    }
    return 2;
}

// The messages of the three fixed decisions; a chunked one reads
// kChunkingPrefix, the count in decimal, kChunkingSuffix.
inline constexpr std::string_view kNoMemoryMessage = "No GPU memory available";
inline constexpr std::string_view kFitsMessage = "Allocation fits in GPU memory";
inline constexpr std::string_view kNotChunkableMessage =
    "Operation not chunkable, falling back to CPU";
inline constexpr std::string_view kChunkingPrefix = "Chunking into ";
inline constexpr std::string_view kChunkingSuffix = " GPU passes";

inline Decision decide_strategy(std::uint64_t requested_bytes, std::uint64_t available_bytes,
                                double headroom_ratio, bool is_chunkable) {
    const std::uint64_t limit = safe_limit(available_bytes, headroom_ratio);
    if (limit == 0) return {Strategy::no_memory};
    if (requested_bytes <= limit) return {Strategy::fits};
    if (!is_chunkable) return {Strategy::not_chunkable};
    // Counted in doubles, so near 2^64 the ceiling may round up to 2^64.
    const double passes =
        std::ceil(static_cast<double>(requested_bytes) / static_cast<double>(limit));
    return {Strategy::chunked, limit, to_byte_count(passes)};
}

// ---- Chunking -------------------------------------------------------------

// Rows of one chunk along the first axis. A row of zero bytes fits any
// budget, so every row goes into one chunk; a row over budget still makes a
// chunk of its own.
inline std::uint64_t rows_per_chunk(std::uint64_t row_bytes, std::uint64_t max_chunk_bytes) {
    if (row_bytes == 0) return UINT64_MAX;
    if (row_bytes > max_chunk_bytes) return 1;
    return max_chunk_bytes / row_bytes;
}

struct ChunkRows {
    std::uint64_t count = 0;  // number of chunks
    std::uint64_t full = 0;   // rows of every chunk but the last
    std::uint64_t last = 0;   // rows of the last chunk
};

inline ChunkRows split_rows(std::int32_t first_dimension, std::uint64_t per_chunk) {
    if (first_dimension <= 0) return {};
    const auto rows = static_cast<std::uint64_t>(first_dimension);
    if (rows <= per_chunk) return {1, rows, rows};
    const std::uint64_t count = (rows - 1) / per_chunk + 1;
    return {count, per_chunk, rows - (count - 1) * per_chunk};
}

inline std::int32_t optimal_chunks(std::uint64_t total_bytes, std::uint64_t available_bytes,
                                   double headroom_ratio, std::int32_t min_chunks,
                                   std::int32_t max_chunks) {
    const std::uint64_t limit = safe_limit(available_bytes, headroom_ratio);
    if (limit == 0) return max_chunks;
    // Compared as a double, so a count beyond the 32-bit range is capped too.
    const double needed = std::ceil(static_cast<double>(total_bytes) / static_cast<double>(limit));
    if (needed < min_chunks) return min_chunks;
    if (needed > max_chunks) return max_chunks;
    return static_cast<std::int32_t>(needed);
}

// ---- Operation names ---------------------------------------------------------

// Membership is exact and case-sensitive.
inline constexpr std::string_view kChunkableOperations[] = {
    "zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
    "random.standard_normal", "random.uniform", "arange", "linspace"};
inline constexpr std::string_view kNonChunkableOperations[] = {
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd",
    "eig", "eigvals", "solve", "inv", "sort", "argsort"};

enum class OperationKind { chunkable, non_chunkable, other };

// A plain scan of the two lists, for callers that hold the name as UTF-8
// text; the module itself looks names up by their str hash.
inline OperationKind classify_operation(std::string_view name) {
    for (std::string_view chunkable : kChunkableOperations) {
        if (name == chunkable) return OperationKind::chunkable;
    }
    for (std::string_view non_chunkable : kNonChunkableOperations) {
        if (name == non_chunkable) return OperationKind::non_chunkable;
    }
    return OperationKind::other;
}

// ---- Out-of-memory recognition ---------------------------------------------

// A keyword of the rules: lower-case ASCII letters and spaces, with the
// words that let one-byte text be tested eight bytes at a time, made when
// the program is compiled. A start in the text is ruled out when the eight
// bytes there, their letters folded by setting the case bit, differ from the
// keyword's first eight bytes; a keyword longer than eight bytes then checks
// its last eight bytes the same way, and any middle byte by byte.
class Keyword {
public:
    consteval Keyword(const char* text) : text_(text) {
        for (std::size_t i = 0; i < text_.size() && i < 8; ++i) {
            head_ |= byte_at(i, text_[i]);
            mask_ |= byte_at(i, '\xff');
            head_case_ |= byte_at(i, case_bit(text_[i]));
        }
        for (std::size_t i = 0; i < 8 && !text_.empty(); ++i) {
            first_ |= byte_at(i, text_[0]);
            first_case_ |= byte_at(i, case_bit(text_[0]));
        }
        if (text_.size() > 8) {
            const std::size_t from = text_.size() - 8;
            for (std::size_t i = 0; i < 8; ++i) {
                tail_ |= byte_at(i, text_[from + i]);
                tail_case_ |= byte_at(i, case_bit(text_[from + i]));
            }
        }
    }

    std::string_view text() const { return text_; }
    std::size_t size() const { return text_.size(); }

    // Whether the keyword occurs at `at`, whose next `room` bytes are text
    // (at least size() of them), the first eight tested as a word when there
    // are eight.
    bool at(const unsigned char* at, std::size_t room, bool fold) const;

    // The starts among the eight at `at` whose byte is the keyword's first
    // one (folded): a word with the high bit of each such byte set, and
    // perhaps of some later bytes too. Needs a little-endian word.
    std::uint64_t first_byte_starts(const unsigned char* at, bool fold) const {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        const std::uint64_t x = (word(at) | (fold ? first_case_ : 0)) ^ first_;
        return (x - ones) & ~x & (ones << 7);
    }

private:
    static constexpr std::uint64_t byte_at(std::size_t i, char c) {
        const std::size_t shift = std::endian::native == std::endian::little ? 8 * i : 56 - 8 * i;
        return static_cast<std::uint64_t>(static_cast<unsigned char>(c)) << shift;
    }
    // Only for letters does the case bit make the capital.
    static constexpr char case_bit(char c) { return c >= 'a' && c <= 'z' ? 0x20 : 0; }
    static std::uint64_t word(const unsigned char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }

    std::string_view text_;
    std::uint64_t head_ = 0;
    std::uint64_t mask_ = 0;
    std::uint64_t head_case_ = 0;
    std::uint64_t tail_ = 0;
    std::uint64_t tail_case_ = 0;
    std::uint64_t first_ = 0;       // the first byte in every byte
    std::uint64_t first_case_ = 0;  // and its case bit
};

// Whether text of code units `Char` holds `needle` (lower-case ASCII) at
// `at`, from needle position `from` to `to`; with `fold`, ASCII capitals in
// the text match their lower-case letters.
template <class Char>
bool matches_at(const Char* at, std::string_view needle, std::size_t from, std::size_t to,
                bool fold) {
    for (std::size_t i = from; i < to; ++i) {
        std::uint32_t c = at[i];
        if (fold && c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<unsigned char>(needle[i])) return false;
    }
    return true;
}

inline bool Keyword::at(const unsigned char* at, std::size_t room, bool fold) const {
    const std::size_t n = text_.size();
    if (room < 8) return matches_at(at, text_, 0, n, fold);
    const std::uint64_t head_case = fold ? head_case_ : 0;
    if (((word(at) | head_case) & mask_) != head_) return false;
    if (n <= 8) return true;
    const std::uint64_t tail_case = fold ? tail_case_ : 0;
    return (word(at + n - 8) | tail_case) == tail_ && matches_at(at, text_, 8, n - 8, fold);
}

// Whether `keyword` occurs in text of code units `Char`, folded as above.
template <class Char>
bool contains(const Char* text, std::size_t length, const Keyword& keyword, bool fold) {
    if (keyword.size() > length) return false;
    const std::size_t last = length - keyword.size();
    for (std::size_t start = 0; start <= last; ++start) {
        if (matches_at(text + start, keyword.text(), 0, keyword.size(), fold)) return true;
    }
    return false;
}

// One-byte text, the common case, a word at a time: eight starts are
// screened at once for the keyword's first byte, and only those that have
// it are tested.
inline bool contains(const unsigned char* text, std::size_t length, const Keyword& keyword,
                     bool fold) {
    if (keyword.size() > length || keyword.size() == 0) return keyword.size() == 0;
    const std::size_t last = length - keyword.size();
    std::size_t start = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; start + 7 <= last; start += 8) {
            for (std::uint64_t starts = keyword.first_byte_starts(text + start, fold);
                 starts != 0; starts &= starts - 1) {
                const auto at = start + static_cast<std::size_t>(__builtin_ctzll(starts) / 8);
                if (keyword.at(text + at, length - at, fold)) return true;
            }
        }
    }
    for (; start <= last; ++start) {
        if (keyword.at(text + start, length - start, fold)) return true;
    }
    return false;
}

// The keyword rules, in order, over lower-cased texts; `message_has` and
// `type_has` answer whether a keyword occurs in each text.
template <class MessageHas, class TypeHas>
bool looks_like_oom(MessageHas message_has, TypeHas type_has) {
    static constexpr Keyword out_of_memory{"out of memory"};
    static constexpr Keyword out_of_memory_error{"outofmemoryerror"};
    static constexpr Keyword cuda{"cuda"};
    static constexpr Keyword memory{"memory"};
    static constexpr Keyword allocat{"allocat"};
    static constexpr Keyword failed{"failed"};
    static constexpr Keyword insufficient{"insufficient"};
    static constexpr Keyword gpu{"gpu"};
    return message_has(out_of_memory) || type_has(out_of_memory_error) ||
           (message_has(cuda) && message_has(memory)) ||
           (message_has(allocat) && message_has(failed)) ||
           (message_has(memory) && message_has(insufficient)) ||
           (message_has(gpu) && message_has(memory));
}

// ---- Suitability, pressure and headroom --------------------------------------

// Rises to 1.0 at 80% of the safe limit, holds to the limit, then falls as
// the share of the data that fits.
inline double memory_score(std::uint64_t data_bytes, std::uint64_t limit) {
    if (limit == 0) return 0.0;
    const double data = static_cast<double>(data_bytes);
    if (data_bytes > limit) return static_cast<double>(limit) / data;
    const double ratio = data / (static_cast<double>(limit) * 0.8);
    return ratio < 1.0 ? ratio : 1.0;
}

inline double operation_factor(OperationKind kind) {
    switch (kind) {
        case OperationKind::chunkable:
            return 0.9;
        case OperationKind::non_chunkable:
            return 0.7;
        case OperationKind::other:
            break;
    }
    return 0.5;
}

inline double gpu_suitability(std::uint64_t data_size_bytes, OperationKind kind,
                              std::uint64_t available_gpu_memory, double headroom_ratio) {
    return operation_factor(kind) *
           memory_score(data_size_bytes, safe_limit(available_gpu_memory, headroom_ratio));
}

inline double memory_pressure(std::uint64_t used_bytes, std::uint64_t total_bytes) {
    if (total_bytes == 0) return 1.0;
    const double ratio = static_cast<double>(used_bytes) / static_cast<double>(total_bytes);
    if (ratio < 0.0) return 0.0;
    if (ratio > 1.0) return 1.0;
    return ratio;
}

inline double recommended_headroom(double pressure, double base) {
    double h;
    if (pressure > 0.8) {
        h = 0.8;
    } else if (pressure > 0.6) {
        h = ((pressure - 0.5) * 0.5) + base;
    } else if (pressure > 0.3) {
        h = base;
    } else {
        h = base - 0.1;
        if (!(h > 0.3)) h = 0.3;
    }
    if (h < 0.3) {
        h = 0.3;
    } else if (h > 0.8) {
        h = 0.8;
    }
    return h;
}

}  // namespace velkora::accelplan
