#include "demo.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "header_reader.hpp"

namespace mstar {

namespace {

// The routine's statements, each a method of this class so that they read like the script.
class Demo {
public:
    Demo(PyObject* globals, PyObject* print) : g_(globals), print_(print), k_(K()) {}

    bool run(int& line) {
        struct Step {
            int line;
            bool (Demo::*run)();
        };
        static constexpr Step steps[] = {
            {206, &Demo::import_vantrel},   {207, &Demo::import_pyplot},
            {209, &Demo::get_datapath},     {211, &Demo::make_filepath},
            {214, &Demo::read_header},      {215, &Demo::print_header},
            {218, &Demo::read_ap},          {219, &Demo::print_ranges},
            {221, &Demo::figure},           {222, &Demo::subplot_121},
            {223, &Demo::show_amplitude},   {224, &Demo::title_amplitude},
            {225, &Demo::subplot_122},      {226, &Demo::show_phase},
            {227, &Demo::title_phase},      {228, &Demo::show},
            {230, &Demo::read_complex},     {231, &Demo::print_ranges},
            {233, &Demo::figure},           {234, &Demo::subplot_221},
            {235, &Demo::show_real},        {236, &Demo::title_real},
            {237, &Demo::subplot_222},      {238, &Demo::show_imag},
            {239, &Demo::title_imag},       {240, &Demo::subplot_223},
            {241, &Demo::show_abs},         {242, &Demo::title_amplitude},
            {243, &Demo::subplot_224},      {244, &Demo::show_angle},
            {245, &Demo::title_phase},      {246, &Demo::show},
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
    Ref global(const Ref& name) { return load_global(g_, name.get()); }
    bool bind(const Ref& name, const Ref& value) { return value && store(g_, name.get(), value.get()); }

    // plt.<method>(argument); the method is read before the argument is evaluated.
    template <typename MakeArgument>
    bool plt_call(const Ref& method, MakeArgument make_argument) {
        Ref plt = global(k_.plt);
        Ref bound = plt ? get_attr(plt.get(), method.get()) : nullptr;
        if (!bound) return false;
        Ref argument = make_argument();
        return argument && call(bound.get(), argument.get());
    }
    bool plt_call(const Ref& method, const Ref& argument) {
        return plt_call(method, [&] { return argument; });
    }
    bool plt_call(const Ref& method) {
        Ref plt = global(k_.plt);
        Ref bound = plt ? get_attr(plt.get(), method.get()) : nullptr;
        return bound && call(bound.get());
    }
    // np.<function>(x)
    Ref numpy_of_x(const Ref& function) {
        Ref np = global(k_.np);
        Ref fn = np ? get_attr(np.get(), function.get()) : nullptr;
        Ref x = fn ? global(k_.x) : nullptr;
        return x ? call(fn.get(), x.get()) : nullptr;
    }
    // x[key] or x.<attribute>
    Ref x_item(const Ref& key) {
        Ref x = global(k_.x);
        return x ? steal(PyObject_GetItem(x.get(), key.get())) : nullptr;
    }
    Ref x_attr(const Ref& name) {
        Ref x = global(k_.x);
        return x ? get_attr(x.get(), name.get()) : nullptr;
    }

    bool import_vantrel() { return bind(k_.vt, import_module(k_.vantrel.get(), g_)); }

    bool import_pyplot() {
        Ref package = import_module(k_.matplotlib_pyplot.get(), g_);
        return package && bind(k_.plt, import_alias(package.get(), k_.pyplot.get()));
    }

    bool get_datapath() {
        Ref vt = global(k_.vt);
        Ref data_path = vt ? get_attr(vt.get(), k_.data_path.get()) : nullptr;
        return data_path && bind(k_.datapath, call(data_path.get(), k_.mstar.get()));
    }

    bool make_filepath() {
        Ref datapath = global(k_.datapath);
        return datapath && bind(k_.filepath, steal(PyNumber_Add(datapath.get(), k_.sample_file.get())));
    }

    bool read_header() {
        Ref reader = global(k_.mstar_header);
        Ref filepath = reader ? global(k_.filepath) : nullptr;
        return filepath && bind(k_.header, call(reader.get(), filepath.get()));
    }

    // for k, v in header.items(): print(k, v)
    bool print_header() {
        Ref header = global(k_.header);
        Ref items_method = header ? get_attr(header.get(), k_.items.get()) : nullptr;
        Ref items = items_method ? call(items_method.get()) : nullptr;
        Ref iterator = items ? steal(PyObject_GetIter(items.get())) : nullptr;
        if (!iterator) return false;
        for (;;) {
            line_ = 215;
            Ref item = steal(PyIter_Next(iterator.get()));
            if (!item) return !PyErr_Occurred();
            Ref key, value;
            if (!unpack_two(item.get(), key, value) || !bind(k_.k, key) || !bind(k_.v, value)) return false;
            line_ = 216;
            Ref k = global(k_.k);
            Ref v = k ? global(k_.v) : nullptr;
            if (!v || !call(print_, k.get(), v.get())) return false;
        }
    }

    // x = mstar_raw(filepath, ofmt=...)
    bool read_raw(const Ref& ofmt) {
        Ref reader = global(k_.mstar_raw);
        Ref filepath = reader ? global(k_.filepath) : nullptr;
        Ref kwnames = filepath ? steal(PyTuple_Pack(1, k_.ofmt.get())) : nullptr;
        if (!kwnames) return false;
        PyObject* args[] = {filepath.get(), ofmt.get()};
        return bind(k_.x, steal(PyObject_Vectorcall(reader.get(), args, 1, kwnames.get())));
    }
    bool read_ap() { return read_raw(k_.ap); }
    bool read_complex() { return read_raw(k_.c); }

    // print(x.shape, np.max(x), np.min(x))
    bool print_ranges() {
        Ref shape = x_attr(k_.shape);
        Ref high = shape ? numpy_of_x(k_.max) : nullptr;
        Ref low = high ? numpy_of_x(k_.min) : nullptr;
        return low && call(print_, shape.get(), high.get(), low.get());
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

    PyObject* g_;
    PyObject* print_;
    Constants& k_;
    int line_ = 0;
};

}  // namespace

bool run_demo(PyObject* globals, PyObject* print, int& line) noexcept {
    return Demo(globals, print).run(line);
}

}  // namespace mstar
