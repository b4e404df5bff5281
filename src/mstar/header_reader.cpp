#include "header_reader.hpp"

#include "help_texts.hpp"
#include "process.hpp"

#include <cstring>

namespace mstar {

namespace line = source::header;

Ref read_header_line(Handle file, bool* at_end) noexcept {
    Constants& k = K();
    Ref raw = call_method(file, k.readline);
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
    Ref stripped = call_method(raw, k.strip, k.line_feed);
    if (!stripped) return nullptr;
    return call_method(stripped, k.decode, k.utf_8);
}

bool split_entry(Handle text, Ref& key, Ref& value) noexcept {
    Ref parts = call_method(text, K().split, K().separator);
    return parts && unpack_two(parts, key, value);
}

Ref read_header(Handle file, int& at) noexcept {
    Constants& k = K();
    at = line::seek;
    if (!call_method(file, k.seek, k.int_1)) return nullptr;
    at = line::new_dict;
    Ref header = steal(PyDict_New());
    if (!header) return nullptr;
    at = line::version;
    Ref version = read_header_line(file);
    if (!version) return nullptr;
    at = line::version_value;
    Ref version_value = steal(PySequence_GetSlice(version.get(), 17, -1));
    if (!version_value || PyObject_SetItem(header.get(), k.phoenix_header_ver.get(), version_value.get()) < 0)
        return nullptr;
    for (;;) {
        at = line::read_line;
        bool at_end = false;
        Ref data = read_header_line(file, &at_end);
        if (!data) return nullptr;
        // Every read past the end gives an empty line: without this the loop would never end.
        if (at_end) {
            PyErr_SetString(PyExc_ValueError, "no [EndofPhoenixHeader] line before the end of the file");
            return nullptr;
        }
        at = line::end_test;
        int is_end = equals(data, k.end_marker);
        if (is_end < 0) return nullptr;
        if (is_end) break;
        at = line::empty_test;
        int non_empty = PyObject_IsTrue(data.get());
        if (non_empty < 0) return nullptr;
        if (!non_empty) continue;
        at = line::split;
        Ref name, value;
        if (!split_entry(data, name, value)) return nullptr;
        at = line::store;
        if (PyObject_SetItem(header.get(), name.get(), value.get()) < 0) return nullptr;
    }
    return header;
}

Ref text_of(std::string_view text) noexcept {
    const auto size = static_cast<Py_ssize_t>(text.size());
    // Header text is ASCII in practice: then a plain copy makes the same str. The decoder keeps
    // its shared objects for the empty and one-character strings.
    if (size > 1 && phoenix::is_ascii(text)) {
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

// The end of the file before the end-marker line is left to the reader to handle. A header read in
// memory as far as it goes without an end marker is refused here, with the error step 6a raises at
// the end of the file, when the rest of the file holds no end-marker line at all; and a file that
// is not a regular file (a device: nothing says it ends, and a line of /dev/zero never does) is
// refused once FileStart::limit bytes hold none. Whatever holds its end-marker line is read by the
// steps as written. True with the ValueError set when the header is refused.
bool refused_without_end(FileStart& start, const phoenix::Header& parsed) noexcept {
    if (parsed.fault != phoenix::Fault::incomplete) return false;
    if (!start.regular()) {
        PyErr_Format(PyExc_ValueError, "no [EndofPhoenixHeader] line within the first %zu bytes of a file that is "
                     "not a regular file", FileStart::limit);
        return true;
    }
    if (start.end_marker_further()) return false;
    PyErr_SetString(PyExc_ValueError, "no [EndofPhoenixHeader] line before the end of the file");
    return true;
}

// Steps 2 to 6 on the header read in one go: the same dict. Null without an exception when the
// steps as written must run instead (the file cannot be read so, or its header is not sound:
// they then raise what its fault makes them raise); null with an exception when the file holds no
// end marker to end them (refused_without_end).
Ref header_in_memory(PyObject* open, Handle file) noexcept {
    FileStart start;
    phoenix::Header parsed;
    parsed.entries.reserve(64);  // real headers hold about 60 entries
    if (!start.read(open, file)) return nullptr;
    if (!parse_header(start, parsed)) {
        refused_without_end(start, parsed);
        return nullptr;
    }
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

PyObject* mstar_header_body(const Call& context, PyObject* const* bound) noexcept {
    Constants& k = K();
    Ref f = call(context.open, bound[0], k.rb);
    if (!f) return context.fail(line::open);
    int at = 0;
    Ref header = header_in_memory(context.open, f);
    if (!header && PyErr_Occurred()) return context.fail(line::read_line);
    if (!header) header = read_header(f, at);
    if (!header) return context.fail(at);
    if (!call_method(f, k.close)) return context.fail(line::close);
    return header.release();
}

constexpr Name parameters[] = {&Constants::filepath};
static_assert(std::size(parameters) <= max_parameters);
constexpr Name locals[] = {&Constants::f, &Constants::header, &Constants::version, &Constants::data,
                           &Constants::name, &Constants::value};

}  // namespace

const Reader header_reader{source::header_name, parameters, nullptr, locals,
                           {source::file.data(), source::header_code_name.data()}, line::statements,
                           mstar_header_body, mstar_header_doc};

}  // namespace mstar
