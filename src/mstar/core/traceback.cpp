#include "traceback.hpp"

#include <frameobject.h>

namespace mstar {

std::nullptr_t add_traceback(const Origin& origin, int line, PyObject* globals) noexcept {
    // Building the entry must not replace the exception it decorates.
    Ref exc = steal(PyErr_GetRaisedException());
    Ref code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(origin.file, origin.name, line)));
    Ref frame;
    if (code) {
        frame = steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    // Without a frame the exception goes on without this entry.
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    return nullptr;
}

}  // namespace mstar
