// Call journal and fault injection behind every entry point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "QELSim.h"
#include "entry_points.h"

namespace qelsim {

// One value per entry point, in the order of the SDK header.
enum class EntryPoint : int {
#define QELSIM_ENUMERATOR(result, name, ...) name,
    QELSIM_ENTRY_POINTS(QELSIM_ENUMERATOR)
#undef QELSIM_ENUMERATOR
    Count
};

constexpr int kEntryPointCount = static_cast<int>(EntryPoint::Count);

// The output positions of a row of QELSIM_ENTRY_POINTS as bits: bit i set, argument i is written.
template <class... Position>
constexpr unsigned positions(Position... i) {
    return (0u | ... | (1u << i));
}

// An argument of a call as an output: its position, where it points and how big it is (null for an
// argument that is no output).
struct Out {
    int index;
    void *ptr;
    long long size;
};

// Journals one call on construction and tells whether an injected fault replaces it.
class CallRecord {
public:
    CallRecord(EntryPoint ep, std::initializer_list<long long> args, std::initializer_list<Out> outs = {});

    // True when a fault was armed for this call; its output bytes have then been written already.
    bool faulted() const { return faulted_; }
    int fault_code() const { return code_; }

    // Journals the result and hands it back.
    int finish(int result);

    // Extra journal detail of two entry points.
    void note_id(const unsigned char id[8]);
    void note_text(const char *text);

    // QELGetSDKVersion: the text that a fault put in place of the version, or nullptr.
    const char *fault_text() const { return text_; }

private:
    EntryPoint ep_;
    bool faulted_ = false;
    int code_ = 0;
    const char *text_ = nullptr;
};

inline long long address(const void *p) { return static_cast<long long>(reinterpret_cast<std::uintptr_t>(p)); }

void reset_journal();
void reset_faults();

}  // namespace qelsim
