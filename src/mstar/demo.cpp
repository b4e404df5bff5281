#include "demo.hpp"

#include "core/python.hpp"
#include "process.hpp"

namespace mstar {

namespace {

namespace line = source::demo;

// The routine's statements, each a method of this class so that they read like the script.
class Demo {
public:
    Demo(const Namespace& ns, PyObject* print) : ns_(ns), print_(print), k_(K()) {}

    bool run(int& line) {
        struct Step {
            int line;
            bool (Demo::*run)();
        };
        static constexpr Step steps[] = {
            {line::import_vantrel, &Demo::import_vantrel},   {line::import_pyplot, &Demo::import_pyplot},
            {line::datapath, &Demo::get_datapath},           {line::filepath, &Demo::make_filepath},
            {line::read_header, &Demo::read_header},         {line::header_loop, &Demo::print_header},
            {line::read_ap, &Demo::read_ap},                 {line::print_ap, &Demo::print_ranges},
            {line::figure_1, &Demo::figure},                 {line::subplot_121, &Demo::subplot_121},
            {line::show_amplitude, &Demo::show_amplitude},   {line::title_amplitude, &Demo::title_amplitude},
            {line::subplot_122, &Demo::subplot_122},         {line::show_phase, &Demo::show_phase},
            {line::title_phase, &Demo::title_phase},         {line::show_1, &Demo::show},
            {line::read_c, &Demo::read_complex},             {line::print_c, &Demo::print_ranges},
            {line::figure_2, &Demo::figure},                 {line::subplot_221, &Demo::subplot_221},
            {line::show_real, &Demo::show_real},             {line::title_real, &Demo::title_real},
            {line::subplot_222, &Demo::subplot_222},         {line::show_imag, &Demo::show_imag},
            {line::title_imag, &Demo::title_imag},           {line::subplot_223, &Demo::subplot_223},
            {line::show_abs, &Demo::show_abs},               {line::title_abs, &Demo::title_amplitude},
            {line::subplot_224, &Demo::subplot_224},         {line::show_angle, &Demo::show_angle},
            {line::title_angle, &Demo::title_phase},         {line::show_2, &Demo::show},
        };
        for (const Step& step : steps) {
            line_ = step.line;
            if (!(this->*step.run)()) {
                line = line_;
                return false;
            }
        }
        return true;
    }

private:
    Ref global(const Ref& name) { return load_global(ns_, name); }
    bool bind(const Ref& name, const Ref& value) { return value && store(ns_.globals, name, value); }

    // plt.<method>(argument); the method is read before the argument is evaluated.
    template <typename MakeArgument>
    bool plt_call(const Ref& method, MakeArgument make_argument) {
        Ref plt = global(k_.plt);
        Ref bound = plt ? get_attr(plt, method) : nullptr;
        if (!bound) return false;
        Ref argument = make_argument();
        return argument && call(bound, argument);
    }
    bool plt_call(const Ref& method, const Ref& argument) {
        return plt_call(method, [&] { return argument; });
    }
    bool plt_call(const Ref& method) {
        Ref plt = global(k_.plt);
        Ref bound = plt ? get_attr(plt, method) : nullptr;
        return bound && call(bound);
    }
    // np.<function>(x)
    Ref numpy_of_x(const Ref& function) {
        Ref np = global(k_.np);
        Ref fn = np ? get_attr(np, function) : nullptr;
        Ref x = fn ? global(k_.x) : nullptr;
        return x ? call(fn, x) : nullptr;
    }
    // x[key] or x.<attribute>
    Ref x_item(const Ref& key) {
        Ref x = global(k_.x);
        return x ? get_item(x, key) : nullptr;
    }
    Ref x_attr(const Ref& name) {
        Ref x = global(k_.x);
        return x ? get_attr(x, name) : nullptr;
    }

    bool import_vantrel() { return bind(k_.vt, import_module(k_.vantrel, ns_.globals)); }

    bool import_pyplot() {
        Ref package = import_module(k_.matplotlib_pyplot, ns_.globals);
        return package && bind(k_.plt, import_alias(package, k_.pyplot));
    }

    bool get_datapath() {
        Ref vt = global(k_.vt);
        Ref data_path = vt ? get_attr(vt, k_.data_path) : nullptr;
        return data_path && bind(k_.datapath, call(data_path, k_.mstar));
    }

    bool make_filepath() {
        Ref datapath = global(k_.datapath);
        return datapath && bind(k_.filepath, steal(PyNumber_Add(datapath.get(), k_.sample_file.get())));
    }

    bool read_header() {
        Ref reader = global(k_.mstar_header);
        Ref filepath = reader ? global(k_.filepath) : nullptr;
        return filepath && bind(k_.header, call(reader, filepath));
    }

    // for k, v in header.items(): print(k, v)
    bool print_header() {
        Ref header = global(k_.header);
        Ref items_method = header ? get_attr(header, k_.items) : nullptr;
        Ref items = items_method ? call(items_method) : nullptr;
        Ref iterator = items ? steal(PyObject_GetIter(items.get())) : nullptr;
        if (!iterator) return false;
        for (;;) {
            line_ = line::header_loop;
            Ref item = steal(PyIter_Next(iterator.get()));
            if (!item) return !PyErr_Occurred();
            Ref key, value;
            if (!unpack_two(item, key, value) || !bind(k_.k, key) || !bind(k_.v, value)) return false;
            line_ = line::print_entry;
            Ref k = global(k_.k);
            Ref v = k ? global(k_.v) : nullptr;
            if (!v || !call(print_, k, v)) return false;
        }
    }

    // x = mstar_raw(filepath, ofmt=...)
    bool read_raw(const Ref& ofmt) {
        Ref reader = global(k_.mstar_raw);
        Ref filepath = reader ? global(k_.filepath) : nullptr;
        return filepath && bind(k_.x, call_with_keyword(reader, k_.ofmt, ofmt, filepath));
    }
    bool read_ap() { return read_raw(k_.ap); }
    bool read_complex() { return read_raw(k_.c); }

    // print(x.shape, np.max(x), np.min(x))
    bool print_ranges() {
        Ref shape = x_attr(k_.shape);
        Ref high = shape ? numpy_of_x(k_.max) : nullptr;
        Ref low = high ? numpy_of_x(k_.min) : nullptr;
        return low && call(print_, shape, high, low);
    }

    bool figure() { return plt_call(k_.figure); }
    bool show() { return plt_call(k_.show); }
    bool subplot_121() { return plt_call(k_.subplot, k_.int_121); }
    bool subplot_122() { return plt_call(k_.subplot, k_.int_122); }
    bool subplot_221() { return plt_call(k_.subplot, k_.int_221); }
    bool subplot_222() { return plt_call(k_.subplot, k_.int_222); }
    bool subplot_223() { return plt_call(k_.subplot, k_.int_223); }
    bool subplot_224() { return plt_call(k_.subplot, k_.int_224); }
    bool title_amplitude() { return plt_call(k_.title, k_.amplitude); }
    bool title_phase() { return plt_call(k_.title, k_.phase); }
    bool title_real() { return plt_call(k_.title, k_.real_part); }
    bool title_imag() { return plt_call(k_.title, k_.imaginary_part); }
    bool show_amplitude() { return plt_call(k_.imshow, [&] { return x_item(k_.index_ellipsis_0); }); }
    bool show_phase() { return plt_call(k_.imshow, [&] { return x_item(k_.index_ellipsis_1); }); }
    bool show_real() { return plt_call(k_.imshow, [&] { return x_attr(k_.real); }); }
    bool show_imag() { return plt_call(k_.imshow, [&] { return x_attr(k_.imag); }); }
    bool show_abs() { return plt_call(k_.imshow, [&] { return numpy_of_x(k_.abs); }); }
    bool show_angle() { return plt_call(k_.imshow, [&] { return numpy_of_x(k_.angle); }); }

    Namespace ns_;
    PyObject* print_;
    Constants& k_;
    int line_ = 0;
};

}  // namespace

bool run_demo(const Namespace& ns, PyObject* print, int& at) noexcept { return Demo(ns, print).run(at); }

}  // namespace mstar
