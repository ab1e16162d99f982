#include "boundary/arguments.hpp"
#include "boundary/entries.hpp"
#include "boundary/failure.hpp"
#include "boundary/results.hpp"
#include "embedding/delay.hpp"

namespace quorlin::boundary {
namespace {

constexpr const char* kTimeDelayEmbeddingNames[] = {"signal", "dimension", "delay"};
constexpr ParameterTable kTimeDelayEmbedding{"time_delay_embedding", kTimeDelayEmbeddingNames, 1};

}  // namespace

PyObject* time_delay_embedding(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kTimeDelayEmbedding, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.unsigned_integer(3);
        const auto delay = in.unsigned_integer(1);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const auto embedded = embedding::time_delay_embedding(signal.samples(), dimension, delay);
        if (const auto* refusal = std::get_if<Invalid>(&embedded)) return raise_invalid(*refusal);
        return matrix_result(std::get<EmbeddedPoints>(embedded));
    });
}

}  // namespace quorlin::boundary
