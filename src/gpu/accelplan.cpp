// velkora.gpu.accelplan: GPU memory planning rules.
#include "common/binding.hpp"
#include "common/module.hpp"
#include "gpu/name_set.hpp"
#include "gpu/planning.hpp"

#include <cstring>

namespace velkora::accelplan {

namespace {

struct Constants {
    Ref decision_no_memory;
    Ref decision_fits;
    Ref decision_not_chunkable;
    Ref str_lower;  // the str.lower method descriptor
    NameSet chunkable_operations;
    NameSet non_chunkable_operations;
};
// Never destroyed: it must outlive interpreter finalisation at process exit.
Immortal<Constants> constants;
Constants& k = constants.get();

Ref fixed_decision(Strategy strategy, std::string_view message) {
    return Ref::steal(Py_BuildValue("(iiis#)", strategy_code(strategy), 0, 1, message.data(),
                                    static_cast<Py_ssize_t>(message.size())));
}

bool build_constants() {
    k.decision_no_memory = fixed_decision(Strategy::no_memory, kNoMemoryMessage);
    k.decision_fits = fixed_decision(Strategy::fits, kFitsMessage);
    k.decision_not_chunkable = fixed_decision(Strategy::not_chunkable, kNotChunkableMessage);
    k.str_lower = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"));
    return k.decision_no_memory && k.decision_fits && k.decision_not_chunkable && k.str_lower;
}

void release_constants() {
    k.chunkable_operations.clear();
    k.non_chunkable_operations.clear();
    k = Constants{};
}

bool build_operation_sets() {
    return k.chunkable_operations.build(kChunkableOperations) &&
           k.non_chunkable_operations.build(kNonChunkableOperations);
}

PyObject* from_bytes(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

// The chunked decision's message, written straight into a new ASCII str:
// the general formatter cost more than the rest of the decision.
Ref chunking_message(std::uint64_t count) {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count != 0);
    const std::size_t length = kChunkingPrefix.size() + n + kChunkingSuffix.size();
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (!text) return {};
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    std::memcpy(out, kChunkingPrefix.data(), kChunkingPrefix.size());
    out += kChunkingPrefix.size();
    while (n != 0) *out++ = digits[--n];
    std::memcpy(out, kChunkingSuffix.data(), kChunkingSuffix.size());
    return text;
}

// A chunk shape: `rows` followed by the very entry objects of the shape's tail.
Ref chunk_shape(PyObject* shape, PyObject* rows) {
    const Py_ssize_t size = PyTuple_GET_SIZE(shape);
    Ref chunk = Ref::steal(PyTuple_New(size));
    if (!chunk) return {};
    PyTuple_SET_ITEM(chunk.get(), 0, Py_NewRef(rows));
    for (Py_ssize_t i = 1; i < size; ++i) {
        PyTuple_SET_ITEM(chunk.get(), i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
    }
    return chunk;
}

PyObject* chunk_list(PyObject* shape, const ChunkRows& rows) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.count)));
    if (!list || rows.count == 0) return list.release();
    // Every full chunk shares one count object.
    Ref full = Ref::steal(from_bytes(rows.full));
    if (!full) return nullptr;
    Ref last = rows.last == rows.full ? Ref::borrow(full.get()) : Ref::steal(from_bytes(rows.last));
    if (!last) return nullptr;
    for (std::uint64_t i = 0; i < rows.count; ++i) {
        Ref chunk = chunk_shape(shape, i + 1 < rows.count ? full.get() : last.get());
        if (!chunk) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
    }
    return list.release();
}

// A text ready for keyword tests, made on the first test. ASCII text is
// searched in place with letter case folded on the fly, which is exactly what
// str.lower would give; anything else is lowered by str.lower itself.
class LoweredText {
public:
    explicit LoweredText(PyObject* text) : text_(text) {}

    // False with the exception set when lowering fails.
    bool has(const Keyword& keyword, bool& found) {
        if (data_ == nullptr && !lower()) return false;
        switch (kind_) {
            case PyUnicode_1BYTE_KIND:
                found = contains(static_cast<const Py_UCS1*>(data_), length_, keyword, fold_);
                break;
            case PyUnicode_2BYTE_KIND:
                found = contains(static_cast<const Py_UCS2*>(data_), length_, keyword, fold_);
                break;
            default:
                found = contains(static_cast<const Py_UCS4*>(data_), length_, keyword, fold_);
                break;
        }
        return true;
    }

private:
    bool lower() {
        PyObject* source = text_;
        fold_ = PyUnicode_IS_ASCII(text_);
        if (fold_) {
            // Compact ASCII: the characters follow the object header.
            data_ = reinterpret_cast<PyASCIIObject*>(text_) + 1;
            length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text_));
            return true;
        }
        owner_ = Ref::steal(PyObject_Vectorcall(k.str_lower.get(), &source, 1, nullptr));
        if (!owner_) return false;
        source = owner_.get();
        kind_ = PyUnicode_KIND(source);
        data_ = PyUnicode_DATA(source);
        length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(source));
        return true;
    }

    PyObject* text_;
    Ref owner_;
    int kind_ = PyUnicode_1BYTE_KIND;
    const void* data_ = nullptr;
    std::size_t length_ = 0;
    bool fold_ = false;
};

}  // namespace

struct estimate_allocation_bytes {
    static constexpr const char* name = "estimate_allocation_bytes";
    static constexpr const char* doc = R"(
    Estimate memory required for array allocation.

    IP-PROTECTED: Core memory estimation algorithm.

    Args:
        shape: Array shape tuple
        element_size: Bytes per element (from dtype)
        overhead_factor: Additional overhead multiplier (default 1.0)

    Returns:
        Estimated bytes required
    )";
    static constexpr std::array params{Param{"shape"}, Param{"element_size"},
                                       Param{"overhead_factor", 1.0}};
    static PyObject* run(Tuple shape, std::int32_t element_size, double overhead_factor) {
        if (shape.is_none()) return raise_none_has_no_len();
        // The tuple keeps its entries alive while their hooks run.
        std::uint64_t elements = 1;
        const Py_ssize_t size = PyTuple_GET_SIZE(shape.obj);
        for (Py_ssize_t i = 0; i < size; ++i) {
            std::int32_t dimension;
            if (!to_int32(PyTuple_GET_ITEM(shape.obj, i), dimension)) return nullptr;
            if (!count_dimension(elements, dimension)) return from_bytes(elements);
        }
        if (element_size < 0) {
            // Multiplying by it would wrap the estimate into nonsense.
            PyErr_SetString(PyExc_ValueError, "element_size must not be negative");
            return nullptr;
        }
        return from_bytes(allocation_bytes(elements, element_size, overhead_factor));
    }
};

struct calculate_safe_limit {
    static constexpr const char* name = "calculate_safe_limit";
    static constexpr const char* doc = R"(
    Calculate safe allocation limit with headroom.

    IP-PROTECTED: Safety margin calculation for GPU memory.

    Args:
        available_bytes: Total available GPU memory
        headroom_ratio: Fraction to keep as safety headroom (0.0-1.0)

    Returns:
        Safe allocation limit in bytes
    )";
    static constexpr std::array params{Param{"available_bytes"}, Param{"headroom_ratio"}};
    static PyObject* run(std::uint64_t available_bytes, double headroom_ratio) {
        return from_bytes(safe_limit(available_bytes, headroom_ratio));
    }
};

struct decide_allocation_strategy {
    static constexpr const char* name = "decide_allocation_strategy";
    static constexpr const char* doc = R"(
    Decide allocation strategy based on memory requirements.

    IP-PROTECTED: Three-tier fallback decision algorithm.

    Args:
        requested_bytes: Memory required for allocation
        available_bytes: Available GPU memory
        headroom_ratio: Fraction to keep as safety headroom
        is_chunkable: Whether the operation can be chunked

    Returns:
        Tuple: (strategy_code, chunk_size, chunk_count, message)
        - strategy_code: GPU_DIRECT (0), GPU_CHUNKED (1), or CPU_FALLBACK (2)
        - chunk_size: Bytes per chunk (0 if not chunking)
        - chunk_count: Number of chunks (1 if not chunking)
        - message: Description of decision
    )";
    static constexpr std::array params{Param{"requested_bytes"}, Param{"available_bytes"},
                                       Param{"headroom_ratio"}, Param{"is_chunkable"}};
    static PyObject* run(std::uint64_t requested_bytes, std::uint64_t available_bytes,
                         double headroom_ratio, bool is_chunkable) {
        const Decision d =
            decide_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable);
        switch (d.strategy) {
            case Strategy::no_memory:
                return k.decision_no_memory.new_ref();
            case Strategy::fits:
                return k.decision_fits.new_ref();
            case Strategy::not_chunkable:
                return k.decision_not_chunkable.new_ref();
            case Strategy::chunked:
                break;
        }
        Ref code = Ref::steal(PyLong_FromLong(strategy_code(d.strategy)));
        Ref size = Ref::steal(from_bytes(d.chunk_size));
        Ref count = Ref::steal(from_bytes(d.chunk_count));
        Ref message = chunking_message(d.chunk_count);
        if (!code || !size || !count || !message) return nullptr;
        Ref decision = Ref::steal(PyTuple_New(4));
        if (!decision) return nullptr;
        PyTuple_SET_ITEM(decision.get(), 0, code.release());
        PyTuple_SET_ITEM(decision.get(), 1, size.release());
        PyTuple_SET_ITEM(decision.get(), 2, count.release());
        PyTuple_SET_ITEM(decision.get(), 3, message.release());
        return decision.release();
    }
};

struct compute_chunk_shapes {
    static constexpr const char* name = "compute_chunk_shapes";
    static constexpr const char* doc = R"(
    Compute optimal chunk shapes for a large array.

    IP-PROTECTED: Intelligent chunking algorithm for GPU memory management.

    Splits along the first axis for simplicity and efficiency.
    Ensures chunks are sized to fit within GPU memory limits.

    Args:
        shape: Full array shape tuple
        element_size: Bytes per element
        max_chunk_bytes: Maximum bytes per chunk

    Returns:
        List of chunk shape tuples

    Raises:
        ValueError: If element_size <= 0 or max_chunk_bytes == 0
    )";
    static constexpr std::array params{Param{"shape"}, Param{"element_size"},
                                       Param{"max_chunk_bytes"}};
    static PyObject* run(Tuple shape, std::int32_t element_size, std::uint64_t max_chunk_bytes) {
        if (element_size <= 0) {
            PyErr_SetString(PyExc_ValueError, "element_size must be positive");
            return nullptr;
        }
        if (max_chunk_bytes == 0) {
            PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
            return nullptr;
        }
        if (shape.is_none()) return raise_none_has_no_len();
        const Py_ssize_t size = PyTuple_GET_SIZE(shape.obj);
        if (size == 0) {
            Ref list = Ref::steal(PyList_New(1));
            if (!list) return nullptr;
            PyList_SET_ITEM(list.get(), 0, Py_NewRef(shape.obj));
            return list.release();
        }
        // The tail is converted before the first dimension; the tuple keeps
        // every entry alive while their hooks run.
        auto row_bytes = static_cast<std::uint64_t>(element_size);
        for (Py_ssize_t i = 1; i < size; ++i) {
            std::uint64_t dimension;
            if (!to_uint64(PyTuple_GET_ITEM(shape.obj, i), dimension)) return nullptr;
            row_bytes = saturating_mul(row_bytes, dimension);
        }
        std::int32_t first_dimension;
        if (!to_int32(PyTuple_GET_ITEM(shape.obj, 0), first_dimension)) return nullptr;
        return chunk_list(shape.obj,
                          split_rows(first_dimension, rows_per_chunk(row_bytes, max_chunk_bytes)));
    }
};

struct calculate_optimal_chunks {
    static constexpr const char* name = "calculate_optimal_chunks";
    static constexpr const char* doc = R"(
    Calculate optimal number of chunks for a large operation.

    IP-PROTECTED: Chunk count optimization algorithm.

    Args:
        total_bytes: Total bytes needed
        available_bytes: Available GPU memory
        headroom_ratio: Safety headroom fraction
        min_chunks: Minimum number of chunks
        max_chunks: Maximum number of chunks

    Returns:
        Optimal number of chunks
    )";
    static constexpr std::array params{Param{"total_bytes"}, Param{"available_bytes"},
                                       Param{"headroom_ratio"}, Param{"min_chunks", 1},
                                       Param{"max_chunks", 1000}};
    static PyObject* run(std::uint64_t total_bytes, std::uint64_t available_bytes,
                         double headroom_ratio, std::int32_t min_chunks, std::int32_t max_chunks) {
        return PyLong_FromLong(
            optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks, max_chunks));
    }
};

struct is_oom_error {
    static constexpr const char* name = "is_oom_error";
    static constexpr const char* doc = R"(
    Detect if an error is an Out of Memory error.

    IP-PROTECTED: OOM detection heuristics for GPU operations.

    Args:
        error_message: Error message string
        error_type: Error type/class name

    Returns:
        True if this appears to be an OOM error
    )";
    static constexpr std::array params{Param{"error_message"}, Param{"error_type"}};
    static PyObject* run(Str error_message, Str error_type) {
        if (error_message.is_none()) {
            PyErr_SetString(PyExc_TypeError, "error_message must be a str, not None");
            return nullptr;
        }
        if (error_type.is_none()) {
            PyErr_SetString(PyExc_TypeError, "error_type must be a str, not None");
            return nullptr;
        }
        // The type is lowered only when a rule reaches it; a failed
        // lowering ends the rules and raises.
        LoweredText message(error_message.obj);
        LoweredText type(error_type.obj);
        bool failed = false;
        auto tester = [&failed](LoweredText& text) {
            return [&failed, &text](const Keyword& keyword) {
                bool found = false;
                if (!failed && !text.has(keyword, found)) failed = true;
                return found;
            };
        };
        const bool oom = looks_like_oom(tester(message), tester(type));
        if (failed) return nullptr;
        return py_bool(oom);
    }
};

struct is_chunkable_operation {
    static constexpr const char* name = "is_chunkable_operation";
    static constexpr const char* doc = R"(
    Determine if an operation can be chunked for large allocations.

    IP-PROTECTED: Operation classification for chunking decisions.

    Args:
        operation: Operation name (e.g., 'random.randn', 'matmul')

    Returns:
        True if operation can be safely chunked
    )";
    static constexpr std::array params{Param{"operation"}};
    static PyObject* run(Str operation) {
        return py_bool(k.chunkable_operations.contains(operation.obj));
    }
};

struct score_gpu_suitability {
    static constexpr const char* name = "score_gpu_suitability";
    static constexpr const char* doc = R"(
    Score how suitable a workload is for GPU execution.

    IP-PROTECTED: GPU suitability scoring algorithm.

    Args:
        data_size_bytes: Size of data to process
        operation_type: Type of operation
        available_gpu_memory: Available GPU memory
        headroom_ratio: Safety headroom fraction

    Returns:
        Suitability score from 0.0 (unsuitable) to 1.0 (ideal)
    )";
    static constexpr std::array params{Param{"data_size_bytes"}, Param{"operation_type"},
                                       Param{"available_gpu_memory"}, Param{"headroom_ratio"}};
    static PyObject* run(std::uint64_t data_size_bytes, Str operation_type,
                         std::uint64_t available_gpu_memory, double headroom_ratio) {
        OperationKind kind = OperationKind::other;
        if (k.chunkable_operations.contains(operation_type.obj)) {
            kind = OperationKind::chunkable;
        } else if (k.non_chunkable_operations.contains(operation_type.obj)) {
            kind = OperationKind::non_chunkable;
        }
        return PyFloat_FromDouble(
            gpu_suitability(data_size_bytes, kind, available_gpu_memory, headroom_ratio));
    }
};

struct calculate_memory_pressure {
    static constexpr const char* name = "calculate_memory_pressure";
    static constexpr const char* doc = R"(
    Calculate current memory pressure as a ratio.

    IP-PROTECTED: Memory pressure calculation for decision making.

    Args:
        used_bytes: Currently used memory
        total_bytes: Total available memory

    Returns:
        Pressure score from 0.0 (no pressure) to 1.0 (fully used)
    )";
    static constexpr std::array params{Param{"used_bytes"}, Param{"total_bytes"}};
    static PyObject* run(std::uint64_t used_bytes, std::uint64_t total_bytes) {
        return PyFloat_FromDouble(memory_pressure(used_bytes, total_bytes));
    }
};

struct recommend_headroom {
    static constexpr const char* name = "recommend_headroom";
    static constexpr const char* doc = R"(
    Recommend headroom ratio based on current memory pressure.

    IP-PROTECTED: Adaptive headroom recommendation algorithm.

    Args:
        current_pressure: Current memory pressure (0.0-1.0)
        base_headroom: Base headroom ratio

    Returns:
        Recommended headroom ratio (0.3-0.8 range)
    )";
    static constexpr std::array params{Param{"current_pressure"}, Param{"base_headroom", 0.5}};
    static PyObject* run(double current_pressure, double base_headroom) {
        return PyFloat_FromDouble(recommended_headroom(current_pressure, base_headroom));
    }
};

namespace {

bool run_body(PyObject* module) {
    return define<estimate_allocation_bytes>(module) && define<calculate_safe_limit>(module) &&
           define<decide_allocation_strategy>(module) && define<compute_chunk_shapes>(module) &&
           define<calculate_optimal_chunks>(module) && define<is_oom_error>(module) &&
           build_operation_sets() && define<is_chunkable_operation>(module) &&
           define<score_gpu_suitability>(module) && define<calculate_memory_pressure>(module) &&
           define<recommend_headroom>(module) &&
           log_load_line(module, "Velkora Accelplan Cython module loaded - IP protected") &&
           bind_test_dict(module);
}

const ModuleDescription description{
    "accelplan",
    "velkora.gpu.accelplan",
    "GPU memory management algorithms: memory estimation with dynamic headroom, a three-tier\n"
    "allocation strategy decision, chunk size calculation for large arrays and out-of-memory\n"
    "detection heuristics.",
    build_constants,
    run_body,
    release_constants,
};

ModuleState state;

}  // namespace

}  // namespace velkora::accelplan

PyMODINIT_FUNC PyInit_accelplan() {
    return velkora::init_module(velkora::accelplan::state, velkora::accelplan::description);
}
