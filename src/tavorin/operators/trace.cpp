// Traceback entries: a names-only code object per failure site and a frame made from it.
#include "operators/trace.hpp"

#include "host/compat.hpp"
#include "operators/state.hpp"

#include <frameobject.h>

#include <cstring>

namespace tavorin {

namespace {

// Code objects are kept per failure site (state.trace_codes), so a failure
// that repeats makes no new ones.
PyCodeObject *code_for_site(const char *function_name, int line) noexcept
{
    for (int i = 0; i < state.trace_code_count; ++i) {
        const TraceCode &kept = state.trace_codes[i];
        if (kept.line == line && std::strcmp(kept.function, function_name) == 0) {
            Py_INCREF(kept.code);
            return kept.code;
        }
    }
    // Names only: no arguments or locals, nothing but the first line in its
    // line table.  A frame made from it reports that line on every host, also
    // from 3.11, where a frame's line can no longer be set and is read from
    // the line table alone.
    PyCodeObject *code = PyCode_NewEmpty(k_source_file, function_name, line);
    if (code && state.trace_code_count < k_trace_code_capacity) {
        Py_INCREF(code);
        state.trace_codes[state.trace_code_count++] = {function_name, line, code};
    }
    return code;
}

}  // namespace

void add_trace_entry(const char *function_name, int line) noexcept
{
    if (!state.module_dict) {
        return;
    }
    Ref frame;
    {
        const compat::PendingException pending;
        Ref code(reinterpret_cast<PyObject *>(code_for_site(function_name, line)));
        if (code) {
            frame.reset(reinterpret_cast<PyObject *>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                            state.module_dict.get(), nullptr)));
        }
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
    }
}

}  // namespace tavorin
