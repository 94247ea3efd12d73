#include "journal.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace qelsim {
namespace {

struct EntryPointInfo {
    const char *name;
    int nargs;
    unsigned outputs;  // bit i set: argument i is written by the entry point
    bool text_result;  // returns text instead of a code
};

constexpr unsigned bit(int i) { return 1u << i; }

template <class R, class... A>
constexpr int arity(R (*)(A...)) {
    return sizeof...(A);
}

const EntryPointInfo kInfo[kEntryPointCount] = {
#define QELSIM_INFO(result, name, parameters, arguments, outputs, work) \
    {"QEL" #name, arity(&QEL##name), positions outputs, std::is_same_v<result, const char *>},
    QELSIM_ENTRY_POINTS(QELSIM_INFO)
#undef QELSIM_INFO
};

#define QELSIM_FITS(result, name, ...) \
    static_assert(arity(&QEL##name) <= QELSIM_JOURNAL_MAX_ARGS, "QEL" #name " has more arguments than the journal keeps");
QELSIM_ENTRY_POINTS(QELSIM_FITS)
#undef QELSIM_FITS

struct Fault {
    int code = 0;
    int remaining = 0;
    int out_arg = -1;
    std::vector<unsigned char> bytes;
    bool has_bytes = false;
};

struct Journal {
    std::mutex mutex;
    QELSIM_JOURNAL_ENTRY entries[kEntryPointCount];
    Fault faults[kEntryPointCount];
    // Texts handed out by a faulted QELGetSDKVersion. A caller may still hold an older one, so none
    // is ever freed; the deque keeps their addresses stable.
    std::deque<std::string> fault_texts;

    Journal() { clear_entries(); }

    void clear_entries() {
        for (int i = 0; i < kEntryPointCount; ++i) {
            std::memset(&entries[i], 0, sizeof entries[i]);
            entries[i].nargs = kInfo[i].nargs;
        }
    }
};

Journal &journal() {
    static Journal *instance = new Journal();  // outlives static destructors run at exit
    return *instance;
}

int find(const char *name) {
    if (!name) return -1;
    for (int i = 0; i < kEntryPointCount; ++i)
        if (std::strcmp(kInfo[i].name, name) == 0) return i;
    return -1;
}

int first_output(int ep) {
    for (int i = 0; i < kInfo[ep].nargs; ++i)
        if (kInfo[ep].outputs & bit(i)) return i;
    return -1;
}

}  // namespace

CallRecord::CallRecord(EntryPoint ep, std::initializer_list<long long> args, std::initializer_list<Out> outs) : ep_(ep) {
    Journal &j = journal();
    const int i = static_cast<int>(ep);
    std::lock_guard<std::mutex> lock(j.mutex);
    QELSIM_JOURNAL_ENTRY &e = j.entries[i];
    e.calls += 1;
    std::fill(std::begin(e.args), std::end(e.args), 0);
    int k = 0;
    for (long long a : args)
        if (k < QELSIM_JOURNAL_MAX_ARGS) e.args[k++] = a;
    Fault &f = j.faults[i];
    if (f.remaining <= 0) return;
    f.remaining -= 1;
    faulted_ = true;
    code_ = f.code;
    e.last_result = f.code;
    if (!f.has_bytes) return;
    if (kInfo[i].text_result) {
        text_ = j.fault_texts.empty() ? "" : j.fault_texts.back().c_str();
        return;
    }
    for (const Out &o : outs) {
        // Empty fault data writes nothing (and its vector has no storage to copy from).
        if (o.index != f.out_arg || !o.ptr || o.size <= 0 || f.bytes.empty()) continue;
        const size_t n = static_cast<size_t>(std::min<long long>(o.size, static_cast<long long>(f.bytes.size())));
        std::memcpy(o.ptr, f.bytes.data(), n);
    }
}

int CallRecord::finish(int result) {
    Journal &j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    j.entries[static_cast<int>(ep_)].last_result = result;
    return result;
}

void CallRecord::note_id(const unsigned char id[8]) {
    Journal &j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    std::memcpy(j.entries[static_cast<int>(ep_)].id, id, 8);
}

void CallRecord::note_text(const char *text) {
    Journal &j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    QELSIM_JOURNAL_ENTRY &e = j.entries[static_cast<int>(ep_)];
    std::memset(e.text, 0, sizeof e.text);
    if (!text) {
        e.text_len = -1;
        return;
    }
    const size_t len = std::strlen(text);
    e.text_len = static_cast<int>(std::min<size_t>(len, 0x7fffffff));
    std::memcpy(e.text, text, std::min(len, sizeof e.text - 1));
}

void reset_journal() {
    Journal &j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    j.clear_entries();
}

void reset_faults() {
    Journal &j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    for (Fault &f : j.faults) f = Fault();
}

}  // namespace qelsim

using namespace qelsim;

extern "C" {

QEL_API int QELSimEntryPointCount(void) { return kEntryPointCount; }

QEL_API const char *QELSimEntryPointName(int index) {
    if (index < 0 || index >= kEntryPointCount) return nullptr;
    return kInfo[index].name;
}

QEL_API int QELSimInjectFault(const char *entry_point, int code, int times, int out_arg, const void *bytes,
                              int nbytes) {
    const int i = find(entry_point);
    if (i < 0 || times < 0 || nbytes < 0 || (nbytes > 0 && !bytes)) return -1;
    Fault f;
    f.code = code;
    f.remaining = times;
    if (bytes) {
        f.has_bytes = true;
        if (kInfo[i].text_result) {
            f.out_arg = -1;
        } else {
            f.out_arg = out_arg < 0 ? first_output(i) : out_arg;
            if (f.out_arg < 0 || f.out_arg >= kInfo[i].nargs || !(kInfo[i].outputs & bit(f.out_arg))) return -1;
        }
        const auto *b = static_cast<const unsigned char *>(bytes);
        f.bytes.assign(b, b + nbytes);
    }
    Journal &j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    if (kInfo[i].text_result && f.has_bytes) j.fault_texts.emplace_back(f.bytes.begin(), f.bytes.end());
    j.faults[i] = std::move(f);
    return 0;
}

QEL_API void QELSimClearFaults(void) { reset_faults(); }

QEL_API int QELSimJournal(const char *entry_point, QELSIM_JOURNAL_ENTRY *entry) {
    const int i = find(entry_point);
    if (i < 0 || !entry) return -1;
    Journal &j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    *entry = j.entries[i];
    return 0;
}

QEL_API void QELSimClearJournal(void) { reset_journal(); }

}  // extern "C"
