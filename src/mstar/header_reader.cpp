#include "header_reader.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "file_start.hpp"
#include "format/phoenix_header.hpp"
#include "source.hpp"

#include <algorithm>
#include <cstring>

namespace mstar {

namespace {

bool too_many_values() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return false;
}

bool need_more_values(Py_ssize_t count) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
    return false;
}

}  // namespace

Ref read_header_line(PyObject* file, bool* at_end) noexcept {
    Constants& k = K();
    Ref raw = call_method(file, k.readline.get());
    if (!raw) return nullptr;
    if (PyBytes_CheckExact(raw.get())) {
        // bytes.strip and bytes.decode cannot be replaced: doing their work here changes nothing
        // a caller can see, the UnicodeDecodeError included.
        const char* text = PyBytes_AS_STRING(raw.get());
        Py_ssize_t begin = 0, end = PyBytes_GET_SIZE(raw.get());
        if (at_end) *at_end = end == 0;
        while (begin < end && text[begin] == '\n') ++begin;
        while (end > begin && text[end - 1] == '\n') --end;
        return steal(PyUnicode_DecodeUTF8(text + begin, end - begin, "strict"));
    }
    if (at_end) {
        Py_ssize_t size = PyObject_Length(raw.get());
        if (size < 0) PyErr_Clear();
        *at_end = size == 0;
    }
    Ref stripped = call_method(raw.get(), k.strip.get(), k.line_feed.get());
    if (!stripped) return nullptr;
    return call_method(stripped.get(), k.decode.get(), k.utf_8.get());
}

bool unpack_two(PyObject* items, Ref& first, Ref& second) noexcept {
    if (PyList_CheckExact(items) || PyTuple_CheckExact(items)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(items);
        if (size > 2) return too_many_values();
        if (size < 2) return need_more_values(size);
        PyObject** values = PySequence_Fast_ITEMS(items);
        first = borrow(values[0]);
        second = borrow(values[1]);
        return true;
    }
    Ref iterator = steal(PyObject_GetIter(items));
    if (!iterator) return false;
    Ref got[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        got[i] = steal(PyIter_Next(iterator.get()));
        if (!got[i]) return PyErr_Occurred() ? false : need_more_values(i);
    }
    Ref extra = steal(PyIter_Next(iterator.get()));
    if (extra) return too_many_values();
    if (PyErr_Occurred()) return false;
    first = std::move(got[0]);
    second = std::move(got[1]);
    return true;
}

bool split_entry(PyObject* text, Ref& key, Ref& value) noexcept {
    Ref parts = call_method(text, K().split.get(), K().separator.get());
    return parts && unpack_two(parts.get(), key, value);
}

Ref read_header(PyObject* file, int& line) noexcept {
    Constants& k = K();
    line = 66;
    if (!call_method(file, k.seek.get(), k.int_1.get())) return nullptr;
    line = 67;
    Ref header = steal(PyDict_New());
    if (!header) return nullptr;
    line = 68;
    Ref version = read_header_line(file);
    if (!version) return nullptr;
    line = 69;
    Ref version_value = steal(PySequence_GetSlice(version.get(), 17, -1));
    if (!version_value || PyObject_SetItem(header.get(), k.phoenix_header_ver.get(), version_value.get()) < 0)
        return nullptr;
    for (;;) {
        line = 72;
        bool at_end = false;
        Ref data = read_header_line(file, &at_end);
        if (!data) return nullptr;
        // Every read past the end gives an empty line: without this the loop would never end.
        if (at_end) {
            PyErr_SetString(PyExc_ValueError, "no [EndofPhoenixHeader] line before the end of the file");
            return nullptr;
        }
        line = 73;
        int is_end = equals(data.get(), k.end_marker.get());
        if (is_end < 0) return nullptr;
        if (is_end) break;
        line = 75;
        int non_empty = PyObject_IsTrue(data.get());
        if (non_empty < 0) return nullptr;
        if (!non_empty) continue;
        line = 76;
        Ref name, value;
        if (!split_entry(data.get(), name, value)) return nullptr;
        line = 77;
        if (PyObject_SetItem(header.get(), name.get(), value.get()) < 0) return nullptr;
    }
    return header;
}

Ref text_of(std::string_view text) noexcept {
    const auto size = static_cast<Py_ssize_t>(text.size());
    // Header text is ASCII in practice: then a plain copy makes the same str. The decoder keeps
    // its shared objects for the empty and one-character strings.
    if (size > 1 && std::none_of(text.begin(), text.end(), [](char c) { return c & 0x80; })) {
        PyObject* str = PyUnicode_New(size, 127);
        if (str) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
        return steal(str);
    }
    return steal(PyUnicode_DecodeUTF8(text.data(), size, "strict"));
}

Ref text_of(std::string_view data, phoenix::Span span) noexcept { return text_of(span.in(data)); }

bool parse_header(FileStart& start, phoenix::Header& header) noexcept {
    for (;;) {
        phoenix::parse(start.data(), start.whole_file(), header);
        if (header.fault != phoenix::Fault::incomplete) return header.fault == phoenix::Fault::none;
        if (!start.more()) return false;
    }
}

namespace {

// Steps 2 to 6 on the header read in one go: the same dict. Null without an exception when the
// steps as written must run instead (the file cannot be read so, or its header is not sound:
// they then raise what its fault makes them raise).
Ref header_in_memory(PyObject* open, PyObject* file) noexcept {
    FileStart start;
    phoenix::Header parsed;
    parsed.entries.reserve(64);  // real headers hold about 60 entries
    if (!start.read(open, file) || !parse_header(start, parsed)) return nullptr;
    const std::string_view data = start.data();
    Ref header = steal(PyDict_New());
    Ref version = header ? text_of(data, parsed.version) : nullptr;
    if (!version || PyDict_SetItem(header.get(), K().phoenix_header_ver.get(), version.get()) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    for (const phoenix::Entry& entry : parsed.entries) {
        Ref name = text_of(data, entry.key);
        Ref value = name ? text_of(data, entry.value) : nullptr;
        if (!value || PyDict_SetItem(header.get(), name.get(), value.get()) < 0) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return header;
}

}  // namespace

PyObject* mstar_header_body(const Call& context, PyObject* const* bound) noexcept {
    Constants& k = K();
    auto fail = [&](int line) { return add_traceback(header_origin, line, context.globals); };
    Ref f = call(context.open, bound[0], k.rb.get());
    if (!f) return fail(65);
    int line = 0;
    Ref header = header_in_memory(context.open, f.get());
    if (!header) header = read_header(f.get(), line);
    if (!header) return fail(line);
    if (!call_method(f.get(), k.close.get())) return fail(78);
    return header.release();
}

}  // namespace mstar
