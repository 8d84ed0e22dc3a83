// quelmar.tools.fitrun: the training tool. Builds a training configuration
// from the reference file config/config_ref.yaml and the caller's arguments,
// runs the training pipeline with standard output captured into a log file,
// and reports the result.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "toolframe.hpp"

namespace {

using tf::Ref;

constexpr const char* kModule = "quelmar.tools.fitrun";

// ---------------------------------------------------------------------------
// Constant names

tf::Name n_Path("Path"), n___file__("__file__"), n_parent("parent"), n_mkdir("mkdir"), n_parents("parents"),
    n_exist_ok("exist_ok"), n__get_tools_dir("_get_tools_dir"), n__get_model_save_dir("_get_model_save_dir"),
    n__get_plots_dir("_get_plots_dir"), n__get_logs_dir("_get_logs_dir"),
    n__get_config_ref_path("_get_config_ref_path"), n__load_reference_config("_load_reference_config"),
    n__validate_required_fields("_validate_required_fields"), n__deep_update("_deep_update"),
    n_REQUIRED_FIELDS("REQUIRED_FIELDS"), n_LogCapture("LogCapture"), n_train_model("train_model"),
    n_io("io"), n_sys("sys"), n_yaml("yaml"), n_datetime("datetime"), n_open("open"), n_print("print"),
    n_StringIO("StringIO"), n_stdout("stdout"), n_log_path("log_path"), n_captured("captured"),
    n_original_stdout("original_stdout"), n_getvalue("getvalue"), n_write("write"), n_close("close"),
    n_exists("exists"), n_safe_load("safe_load"), n_items("items"), n_copy("copy"), n_get("get"),
    n_now("now"), n_strftime("strftime"), n_time("time"), n_encoding("encoding"), n_config("config"),
    n_run_type("run_type"), n_gpu_idx("gpu_idx"), n_self("self"), n_exc_type("exc_type"),
    n_exc_val("exc_val"), n_exc_tb("exc_tb"), n_base("base"), n_updates("updates"),
    n_user_config("user_config"), n___enter__("__enter__"), n___exit__("__exit__"),
    n_errors_train("errors_train"), n_errors_val("errors_val"), n_error_test("error_test"),
    n_regression("regression"), n_utf8("utf-8"), n_w("w"), n_r("r"), n_errors("errors"),
    n_backslashreplace("backslashreplace"), n_RLock("RLock"), n_acquire("acquire"), n_release("release"),
    n_DATA_PARAM("DATA_PARAM"), n_MODEL_PARAM("MODEL_PARAM"), n_TRAIN_PARAM("TRAIN_PARAM"), n_PLOT("PLOT"),
    n_OUTPUT("OUTPUT"), n_data_filenames("data_filenames"), n_interp_method("interp_method"),
    n_model_save_dir("model_save_dir"), n_plots_dir("plots_dir"), n_logs_dir("logs_dir"),
    n_bool_save_model("bool_save_model"), n_bool_plot("bool_plot"), n_model_save_path("model_save_path"),
    n_plots_path("plots_path"), n_training_completed("training_completed"), n_train_rmse("train_rmse"),
    n_val_rmse("val_rmse"), n_test_rmse("test_rmse"), n_training_time_seconds("training_time_seconds");

// Calls a module global by name with positional arguments.
Ref call_global(const tf::Name& name, std::initializer_list<PyObject*> args = {}) {
    Ref f = tf::lookup(name);
    return f ? tf::call(f.get(), args) : nullptr;
}

// str(obj) the way a formatted-string field renders it.
Ref text(PyObject* obj) { return Ref::steal(PyObject_Format(obj, nullptr)); }

// Concatenates str objects and C strings.
Ref concat(std::initializer_list<PyObject*> parts) {
    Ref out = Ref::steal(PyUnicode_FromString(""));
    for (PyObject* p : parts) {
        if (!out || !p) return nullptr;
        out = Ref::steal(PyUnicode_Concat(out.get(), p));
    }
    return out;
}

Ref str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

// print(value) through the module's view of the builtin.
bool print(PyObject* value) {
    if (!value) return false;
    return static_cast<bool>(call_global(n_print, {value}));
}

// Calls a context manager's __exit__ the way a `with` statement leaves its
// block. With an exception in flight (fetched by the caller into `exc`) it
// passes the exception; returns 1 when the manager suppressed it, 0 when not,
// -1 when __exit__ itself failed (its error then chained to `exc`).
int leave(PyObject* exit, PyObject* exc) {
    Ref r;
    if (exc) {
        Ref tb = Ref::steal(PyException_GetTraceback(exc));
        r = tf::call(exit, {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb.get() : Py_None});
    } else {
        r = tf::call(exit, {Py_None, Py_None, Py_None});
    }
    if (!r) {
        if (exc) {
            Ref err = Ref::steal(PyErr_GetRaisedException());
            if (err.get() != exc) PyException_SetContext(err.get(), Py_NewRef(exc));
            PyErr_SetRaisedException(err.release());
        }
        return -1;
    }
    return exc ? PyObject_IsTrue(r.get()) : 0;
}

// Opens a text file through the builtin open (mode, UTF-8, and the error
// handler `errors` when given).
Ref open_text(PyObject* path, const tf::Name& mode, const tf::Name* errors = nullptr) {
    Ref open = tf::lookup(n_open);
    if (!open) return nullptr;
    Ref kw = errors ? Ref::steal(PyTuple_Pack(2, n_encoding.obj(), n_errors.obj()))
                    : Ref::steal(PyTuple_Pack(1, n_encoding.obj()));
    if (!kw) return nullptr;
    if (errors) return tf::call(open.get(), {path, mode.obj(), n_utf8.obj(), errors->obj()}, kw.get());
    return tf::call(open.get(), {path, mode.obj(), n_utf8.obj()}, kw.get());
}

// Closes a file at the end of its `with` block: the error of the block (if
// one is pending) stays the one that propagates unless closing fails too.
bool close_file(PyObject* file, bool ok) {
    Ref pending = ok ? Ref() : Ref::steal(PyErr_GetRaisedException());
    Ref r = tf::call_method(file, n_close, {});
    if (!r) {
        if (pending) {
            Ref err = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(err.get(), pending.release());
            PyErr_SetRaisedException(err.release());
        }
        return false;
    }
    if (pending) PyErr_SetRaisedException(pending.release());
    return ok;
}

PyCFunction cfunc(PyCFunctionFastWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// ---------------------------------------------------------------------------
// Tool directories

PyObject* fail(const char* function, int line) {
    std::string q = std::string(kModule) + "." + function;
    tf::add_traceback(q.c_str(), line);
    return nullptr;
}

// Path(__file__).parent
Ref module_dir() {
    Ref path = tf::lookup(n_Path);
    Ref file = path ? tf::lookup(n___file__) : nullptr;
    Ref p = file ? tf::call(path.get(), {file.get()}) : nullptr;
    return p ? tf::attr(p.get(), n_parent) : nullptr;
}

// a / b for str components, with the path join operator.
Ref join(Ref base, std::initializer_list<const char*> parts) {
    for (const char* part : parts) {
        Ref s = str(part);
        if (!base || !s) return nullptr;
        base = Ref::steal(PyNumber_TrueDivide(base.get(), s.get()));
    }
    return base;
}

PyObject* get_tools_dir(PyObject*, PyObject*) {
    Ref d = module_dir();
    return d ? d.release() : fail("_get_tools_dir", 28);
}

// _get_tools_dir() / parts..., created with parents and exist_ok.
PyObject* make_dir(const char* function, int line, std::initializer_list<const char*> parts) {
    Ref d = join(call_global(n__get_tools_dir), parts);
    if (!d) return fail(function, line);
    Ref mkdir = tf::attr(d.get(), n_mkdir);
    Ref kw = Ref::steal(PyTuple_Pack(2, n_parents.obj(), n_exist_ok.obj()));
    if (!mkdir || !kw || !tf::call(mkdir.get(), {Py_True, Py_True}, kw.get())) return fail(function, line + 1);
    return d.release();
}

PyObject* get_model_save_dir(PyObject*, PyObject*) {
    return make_dir("_get_model_save_dir", 32, {"ordane", "model_saved"});
}
PyObject* get_plots_dir(PyObject*, PyObject*) { return make_dir("_get_plots_dir", 38, {"plots"}); }
PyObject* get_logs_dir(PyObject*, PyObject*) { return make_dir("_get_logs_dir", 44, {"logs"}); }

// ---------------------------------------------------------------------------
// LogCapture: captures sys.stdout into a buffer and writes it to a log file.

tf::Function f_init, f_enter, f_exit, f_get_logs;

PyObject* capture_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    tf::Args a;
    if (!f_init.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    if (PyObject_SetAttr(self, n_log_path.obj(), a[1]) < 0) return f_init.fail(53);
    Ref io = tf::lookup(n_io);
    Ref string_io = io ? tf::attr(io.get(), n_StringIO) : nullptr;
    Ref buffer = string_io ? tf::call(string_io.get(), {}) : nullptr;
    if (!buffer || PyObject_SetAttr(self, n_captured.obj(), buffer.get()) < 0) return f_init.fail(54);
    if (PyObject_SetAttr(self, n_original_stdout.obj(), Py_None) < 0) return f_init.fail(55);
    Py_RETURN_NONE;
}

PyObject* capture_enter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    tf::Args a;
    if (!f_enter.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    Ref sys = tf::lookup(n_sys);
    Ref current = sys ? tf::attr(sys.get(), n_stdout) : nullptr;
    if (!current || PyObject_SetAttr(self, n_original_stdout.obj(), current.get()) < 0) return f_enter.fail(58);
    Ref captured = tf::attr(self, n_captured);
    Ref sys2 = captured ? tf::lookup(n_sys) : nullptr;
    if (!sys2 || PyObject_SetAttr(sys2.get(), n_stdout.obj(), captured.get()) < 0) return f_enter.fail(59);
    return Py_NewRef(self);
}

PyObject* capture_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    tf::Args a;
    if (!f_exit.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    // Restore the stream first, so that it is back even when the log cannot be written.
    Ref original = tf::attr(self, n_original_stdout);
    Ref sys = original ? tf::lookup(n_sys) : nullptr;
    if (!sys || PyObject_SetAttr(sys.get(), n_stdout.obj(), original.get()) < 0) return f_exit.fail(63);

    // Whatever the captured text holds is written: what UTF-8 cannot encode
    // (lone surrogates) is escaped.
    Ref path = tf::attr(self, n_log_path);
    Ref file = path ? open_text(path.get(), n_w, &n_backslashreplace) : nullptr;
    if (!file) return f_exit.fail(64);
    Ref captured = tf::attr(self, n_captured);
    Ref content = captured ? tf::call_method(captured.get(), n_getvalue, {}) : nullptr;
    bool written = content && tf::call_method(file.get(), n_write, {content.get()});
    if (!close_file(file.get(), written)) return f_exit.fail(65);
    Py_RETURN_FALSE;
}

PyObject* capture_get_logs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    tf::Args a;
    if (!f_get_logs.bind(args, nargs, kwnames, a)) return nullptr;
    Ref captured = tf::attr(a[0], n_captured);
    Ref value = captured ? tf::call_method(captured.get(), n_getvalue, {}) : nullptr;
    if (!value) return f_get_logs.fail(71);
    if (!PyUnicode_CheckExact(value.get()) && value.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.get())->tp_name);
        return f_get_logs.fail(71);
    }
    return value.release();
}

PyMethodDef m_init = {"__init__", cfunc(capture_init), METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef m_enter = {"__enter__", cfunc(capture_enter), METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef m_exit = {"__exit__", cfunc(capture_exit), METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef m_get_logs = {"get_logs", cfunc(capture_get_logs), METH_FASTCALL | METH_KEYWORDS,
                          "Get the captured log content."};

// class LogCapture: ... (an ordinary class built by type()).
Ref make_log_capture() {
    f_init = {"__init__", "quelmar.tools.fitrun.LogCapture.__init__", 52, nullptr, {{&n_self}, {&n_log_path}}, true};
    f_enter = {"__enter__", "quelmar.tools.fitrun.LogCapture.__enter__", 57, nullptr, {{&n_self}}, true};
    f_exit = {"__exit__", "quelmar.tools.fitrun.LogCapture.__exit__", 62, nullptr,
              {{&n_self}, {&n_exc_type}, {&n_exc_val}, {&n_exc_tb}}, true};
    f_get_logs = {"get_logs", "quelmar.tools.fitrun.LogCapture.get_logs", 69, m_get_logs.ml_doc, {{&n_self}}, true};

    Ref init_ann = Ref::steal(Py_BuildValue("{s:s}", "log_path", "Path"));
    Ref logs_ann = Ref::steal(Py_BuildValue("{s:s}", "return", "str"));
    if (!init_ann || !logs_ann) return nullptr;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    struct { const char* key; Ref value; } entries[] = {
        {"__module__", Ref::borrow(tf::state().modname)},
        {"__qualname__", str("LogCapture")},
        {"__doc__", str("Context manager to capture stdout and save to log file.")},
        {"__init__", tf::new_method(&m_init, "LogCapture.__init__", init_ann)},
        {"__enter__", tf::new_method(&m_enter, "LogCapture.__enter__", nullptr)},
        {"__exit__", tf::new_method(&m_exit, "LogCapture.__exit__", nullptr)},
        {"get_logs", tf::new_method(&m_get_logs, "LogCapture.get_logs", logs_ann)},
    };
    for (auto& e : entries)
        if (!e.value || PyDict_SetItemString(ns.get(), e.key, e.value.get()) < 0) return nullptr;
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref name = str("LogCapture");
    if (!bases || !name) return nullptr;
    return tf::call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
}

// ---------------------------------------------------------------------------
// Reference configuration

PyObject* get_config_ref_path(PyObject*, PyObject*) {
    Ref p = join(module_dir(), {"config", "config_ref.yaml"});
    return p ? p.release() : fail("_get_config_ref_path", 76);
}

PyObject* load_reference_config(PyObject*, PyObject*) {
    const char* name = "_load_reference_config";
    Ref path = call_global(n__get_config_ref_path);
    if (!path) return fail(name, 81);
    Ref exists = tf::call_method(path.get(), n_exists, {});
    int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found < 0) return fail(name, 82);
    if (!found) {
        Ref shown = text(path.get());
        Ref message = shown ? concat({str("Reference config file not found: ").get(), shown.get()}) : nullptr;
        if (message) tf::raise(PyExc_FileNotFoundError, message.get());
        return fail(name, 83);
    }
    Ref file = open_text(path.get(), n_r);
    if (!file) return fail(name, 85);
    Ref yaml = tf::lookup(n_yaml);
    Ref config = yaml ? tf::call_method(yaml.get(), n_safe_load, {file.get()}) : nullptr;
    if (config && !PyDict_CheckExact(config.get()) && config.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(config.get())->tp_name);
        config = nullptr;
    }
    if (!close_file(file.get(), static_cast<bool>(config))) return fail(name, 86);
    return config.release();
}

tf::Function f_validate, f_deep_update;

PyObject* validate_required_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    tf::Args a;
    if (!f_validate.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* user_config = a[0];
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) return f_validate.fail(97);
    Ref required = tf::lookup(n_REQUIRED_FIELDS);
    Ref items = required ? tf::call_method(required.get(), n_items, {}) : nullptr;
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : nullptr;
    if (!it) return f_validate.fail(98);
    auto add = [&](PyObject* section, PyObject* field) {
        Ref s = text(section), f = s ? text(field) : nullptr;
        Ref path = f ? concat({s.get(), str(".").get(), f.get()}) : nullptr;
        return path && PyList_Append(missing.get(), path.get()) == 0;
    };
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref sf[2];
        if (!tf::unpack(pair.get(), sf, 2)) return f_validate.fail(98);
        int has = PySequence_Contains(user_config, sf[0].get());
        if (has < 0) return f_validate.fail(99);
        Ref section = has ? Ref::steal(PyObject_GetItem(user_config, sf[0].get())) : Ref();
        if (has && !section) return f_validate.fail(105);
        Ref fields = Ref::steal(PyObject_GetIter(sf[1].get()));
        if (!fields) return f_validate.fail(has ? 104 : 100);
        while (Ref field = Ref::steal(PyIter_Next(fields.get()))) {
            if (has) {
                int present = PySequence_Contains(section.get(), field.get());
                if (present < 0) return f_validate.fail(105);
                if (present) continue;
            }
            if (!add(sf[0].get(), field.get())) return f_validate.fail(has ? 106 : 101);
        }
        if (PyErr_Occurred()) return f_validate.fail(has ? 104 : 100);
    }
    if (PyErr_Occurred()) return f_validate.fail(98);
    return missing.release();
}

// Nesting of _deep_update on this thread. It is bounded like the recursion of
// a Python function (sys.getrecursionlimit()), so that a self-referential or
// very deep input raises RecursionError long before the end of the thread's
// stack, even on a small one.
thread_local int deep_update_depth = 0;

class DepthGuard {
public:
    bool enter() {
        if (deep_update_depth >= Py_GetRecursionLimit()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
            return false;
        }
        ++deep_update_depth;
        entered_ = true;
        return true;
    }
    ~DepthGuard() {
        if (entered_) --deep_update_depth;
    }

private:
    bool entered_ = false;
};

PyObject* deep_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    DepthGuard depth;
    if (!depth.enter()) return f_deep_update.fail(f_deep_update.line);
    tf::Args a;
    if (!f_deep_update.bind(args, nargs, kwnames, a)) return nullptr;
    Ref result = Ref::steal(PyDict_Copy(a[0]));
    if (!result) return f_deep_update.fail(124);
    Ref items = Ref::steal(PyDict_Items(a[1]));  // a snapshot: the loop may run Python code
    if (!items) return f_deep_update.fail(125);
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        PyObject* current = PyDict_GetItemWithError(result.get(), key);  // borrowed
        if (!current && PyErr_Occurred()) return f_deep_update.fail(126);
        if (current && PyDict_Check(current) && PyDict_Check(value)) {
            Ref keep = Ref::borrow(current);
            Ref merged = call_global(n__deep_update, {keep.get(), value});
            if (!merged || PyDict_SetItem(result.get(), key, merged.get()) < 0) return f_deep_update.fail(127);
        } else if (PyDict_SetItem(result.get(), key, value) < 0) {
            return f_deep_update.fail(129);
        }
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// execute_fitrun

const char* const kFitrunDoc =
    "\n"
    "    Create a training configuration and execute model training.\n"
    "\n"
    "    This tool:\n"
    "    1. Creates a configuration dictionary from reference config and user inputs\n"
    "    2. Combines data file paths into data_filenames list\n"
    "    3. Validates that required fields are provided\n"
    "    4. Executes the training pipeline\n"
    "    5. Saves model to tools/ordane/model_saved/ and plots to tools/plots/\n"
    "\n"
    "    Args:\n"
    "        input_col: (REQUIRED) List of integers. Input columns of the data.\n"
    "        output_col: (REQUIRED) List of integers. Output columns of the data.\n"
    "        data_train: (REQUIRED) Full file path to training data CSV file.\n"
    "        data_val: (Optional) Full file path to validation data CSV file.\n"
    "        data_test: (Optional) Full file path to test data CSV file.\n"
    "        interp_method: Interpolation method (\"linear\", \"nonlinear\", \"gaussian\", \"MLP\", \"KAN\", \"FNO\")\n"
    "        nmode: Number of CP tensor decomposition modes\n"
    "        nseg: Number of segments in each dimension\n"
    "        s_patch: Size of patch for nonlinear INN\n"
    "        alpha_dil: Dilatation factor for nonlinear INN\n"
    "        p_order: Polynomial order for nonlinear INN\n"
    "        radial_basis: Radial basis function for nonlinear INN\n"
    "        INNactivation: Activation function for nonlinear INN\n"
    "        sigma_factor: Sigma factor for Gaussian INN\n"
    "        nlayers: Number of layers for MLP\n"
    "        nneurons: Number of neurons for MLP\n"
    "        activation: Activation function for MLP\n"
    "        hidden_dim: Hidden dimensions for KAN\n"
    "        grid_size: Grid size for KAN\n"
    "        spline_order: B-spline order for KAN\n"
    "        num_layers: Number of layers for FNO\n"
    "        modes: Number of modes for FNO\n"
    "        split_ratio: Train/val/test split ratio\n"
    "        bool_data_generation: Whether to generate data\n"
    "        bool_normalize: Whether to normalize training data\n"
    "        bool_shuffle: Whether to shuffle training data\n"
    "        num_epochs_INN: Number of epochs for INN\n"
    "        num_epochs_MLP: Number of epochs for MLP\n"
    "        num_epochs_KAN: Number of epochs for KAN\n"
    "        num_epochs_FNO: Number of epochs for FNO\n"
    "        batch_size: Batch size for training\n"
    "        learning_rate: Learning rate\n"
    "        validation_period: Period for validation\n"
    "        bool_denormalize: Whether to denormalize predictions\n"
    "        patience: Training patience\n"
    "        stopping_loss_train: Stopping loss threshold\n"
    "        bool_save_model: Whether to save the model\n"
    "        bool_plot: Whether to plot results\n"
    "        plot_in_axis: Input variable types for plotting\n"
    "        plot_out_axis: Output variable indices for plotting\n"
    "        plot_params_number: Number of parameter sets to plot\n"
    "        run_type: Problem type - 'regression' or 'classification'\n"
    "        gpu_idx: GPU device index (default: 0)\n"
    "\n"
    "    Returns:\n"
    "        Dictionary with training results including:\n"
    "        - config: The complete configuration used\n"
    "        - model_save_path: Path where model was saved (if bool_save_model=True)\n"
    "        - plots_path: Path where plots were saved (if bool_plot=True)\n"
    "        - training_completed: Boolean indicating success\n"
    "\n"
    "    Raises:\n"
    "        ValueError: If required fields are missing\n"
    "        FileNotFoundError: If reference config file not found\n"
    "    ";

enum Section { MODEL, DATA, TRAIN, PLOT, NONE };

struct FitParam {
    tf::Name name;
    tf::Kind kind;
    Section section;
    int line;
};

PyObject* default_run_type() { return Py_NewRef(n_regression.obj()); }
PyObject* default_gpu_idx() { return PyLong_FromLong(0); }

// The 43 parameters in signature order; each given value lands under its own
// name in its section.
FitParam fit_params[] = {
    {tf::Name("input_col"), tf::Kind::List, DATA, 0},
    {tf::Name("output_col"), tf::Kind::List, DATA, 0},
    {tf::Name("data_train"), tf::Kind::Str, DATA, 0},
    {tf::Name("data_val"), tf::Kind::Str, NONE, 0},
    {tf::Name("data_test"), tf::Kind::Str, NONE, 0},
    {tf::Name("interp_method"), tf::Kind::Str, MODEL, 0},
    {tf::Name("nmode"), tf::Kind::Int, MODEL, 142},
    {tf::Name("nseg"), tf::Kind::Int, MODEL, 143},
    {tf::Name("s_patch"), tf::Kind::Int, MODEL, 144},
    {tf::Name("alpha_dil"), tf::Kind::Float, MODEL, 145},
    {tf::Name("p_order"), tf::Kind::Int, MODEL, 146},
    {tf::Name("radial_basis"), tf::Kind::Str, MODEL, 0},
    {tf::Name("INNactivation"), tf::Kind::Str, MODEL, 0},
    {tf::Name("sigma_factor"), tf::Kind::Float, MODEL, 149},
    {tf::Name("nlayers"), tf::Kind::Int, MODEL, 150},
    {tf::Name("nneurons"), tf::Kind::Int, MODEL, 151},
    {tf::Name("activation"), tf::Kind::Str, MODEL, 0},
    {tf::Name("hidden_dim"), tf::Kind::Int, MODEL, 153},
    {tf::Name("grid_size"), tf::Kind::Int, MODEL, 154},
    {tf::Name("spline_order"), tf::Kind::Int, MODEL, 155},
    {tf::Name("num_layers"), tf::Kind::Int, MODEL, 156},
    {tf::Name("modes"), tf::Kind::Int, MODEL, 157},
    {tf::Name("split_ratio"), tf::Kind::List, DATA, 0},
    {tf::Name("bool_data_generation"), tf::Kind::Bool, DATA, 0},
    {tf::Name("bool_normalize"), tf::Kind::Bool, DATA, 0},
    {tf::Name("bool_shuffle"), tf::Kind::Bool, DATA, 0},
    {tf::Name("num_epochs_INN"), tf::Kind::Int, TRAIN, 162},
    {tf::Name("num_epochs_MLP"), tf::Kind::Int, TRAIN, 163},
    {tf::Name("num_epochs_KAN"), tf::Kind::Int, TRAIN, 164},
    {tf::Name("num_epochs_FNO"), tf::Kind::Int, TRAIN, 165},
    {tf::Name("batch_size"), tf::Kind::Int, TRAIN, 166},
    {tf::Name("learning_rate"), tf::Kind::Float, TRAIN, 167},
    {tf::Name("validation_period"), tf::Kind::Int, TRAIN, 168},
    {tf::Name("bool_denormalize"), tf::Kind::Bool, TRAIN, 0},
    {tf::Name("patience"), tf::Kind::Int, TRAIN, 170},
    {tf::Name("stopping_loss_train"), tf::Kind::Float, TRAIN, 171},
    {tf::Name("bool_save_model"), tf::Kind::Bool, TRAIN, 0},
    {tf::Name("bool_plot"), tf::Kind::Bool, PLOT, 0},
    {tf::Name("plot_in_axis"), tf::Kind::List, PLOT, 0},
    {tf::Name("plot_out_axis"), tf::Kind::List, PLOT, 0},
    {tf::Name("plot_params_number"), tf::Kind::Int, PLOT, 176},
    {tf::Name("run_type"), tf::Kind::Str, NONE, 0},
    {tf::Name("gpu_idx"), tf::Kind::Int, NONE, 179},
};
constexpr int kParams = sizeof fit_params / sizeof fit_params[0];
enum Index { DATA_TRAIN = 2, DATA_VAL = 3, DATA_TEST = 4, INTERP_METHOD = 5, RUN_TYPE = 41, GPU_IDX = 42 };

tf::Function f_fitrun;

// Source lines of the statements of execute_fitrun.
enum FitLine {
    FIT_DEF = 135, LOAD = 250, FILENAMES = 253, SECTIONS = 262, MERGE = 290, VALIDATE = 293, MISSING = 295,
    DIRS = 302, STAMP = 307, METHOD = 310, LOG_NAME = 313, OUTPUT_SECTION = 317, IMPORT_TIME = 322,
    RUN_VALUES = 324, CAPTURE = 329, BANNER = 330, TIME_START = 339, TRAIN_CALL = 340, TIME_END = 341,
    READ_ERRORS = 344, DONE = 351, FAILED = 355, RERAISE = 356, RESULT = 359,
};

const char* const kRule = "============================================================";

// The caller's dictionary: sections in the order MODEL, DATA, TRAIN, PLOT,
// keys in signature order, only arguments that are not None, no empty section.
Ref caller_sections(const tf::Args& a, PyObject* filenames) {
    static const tf::Name* section_names[] = {&n_MODEL_PARAM, &n_DATA_PARAM, &n_TRAIN_PARAM, &n_PLOT};
    Ref user = Ref::steal(PyDict_New());
    if (!user) return nullptr;
    for (int s = MODEL; s <= PLOT; ++s) {
        Ref section = Ref::steal(PyDict_New());
        if (!section) return nullptr;
        for (int i = 0; i < kParams; ++i) {
            if (fit_params[i].section != s) continue;
            if (a[i] != Py_None && PyDict_SetItem(section.get(), fit_params[i].name.obj(), a[i]) < 0) return nullptr;
            if (i == DATA_TRAIN && filenames && PyDict_SetItem(section.get(), n_data_filenames.obj(), filenames) < 0)
                return nullptr;
        }
        if (PyDict_GET_SIZE(section.get()) &&
            PyDict_SetItem(user.get(), section_names[s]->obj(), section.get()) < 0)
            return nullptr;
    }
    return user;
}

// The method's text as it may appear in a file name: ASCII letters, digits,
// '-', '_' and '.' kept, every other character '_', at most 64 characters.
Ref file_name_part(PyObject* method) {
    Py_ssize_t n = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(method), 64);
    std::string out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(method, i);
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.';
        out.push_back(keep ? static_cast<char>(c) : '_');
    }
    return Ref::steal(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

// Claims a log file name that no earlier run (of this or another process)
// has: <stem>.log, else <stem>_2.log, <stem>_3.log, ... The file is created
// empty, atomically; the capture fills it when it is left.
Ref claim_log_path(PyObject* logs_dir, PyObject* stem) {
    for (long k = 1; k < 100000; ++k) {
        Ref name = k == 1 ? Ref::steal(PyUnicode_FromFormat("%U.log", stem))
                          : Ref::steal(PyUnicode_FromFormat("%U_%ld.log", stem, k));
        Ref path = name ? Ref::steal(PyNumber_TrueDivide(logs_dir, name.get())) : nullptr;
        Ref fs = path ? Ref::steal(PyOS_FSPath(path.get())) : nullptr;
        Ref bytes = fs ? Ref::steal(PyUnicode_EncodeFSDefault(fs.get())) : nullptr;
        if (!bytes) return nullptr;
        int fd = ::open(PyBytes_AS_STRING(bytes.get()), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, fs.get());
            return nullptr;
        }
    }
    PyErr_SetString(PyExc_FileExistsError, "no free log file name left for this run");
    return nullptr;
}

void remove_file(PyObject* path) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref fs = Ref::steal(PyOS_FSPath(path));
    Ref bytes = fs ? Ref::steal(PyUnicode_EncodeFSDefault(fs.get())) : nullptr;
    if (bytes) ::unlink(PyBytes_AS_STRING(bytes.get()));
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

// config.get(section, {}).get(key, False), as truth: 1, 0 or -1.
int switch_on(PyObject* config, const tf::Name& section, const tf::Name& key) {
    Ref empty = Ref::steal(PyDict_New());
    Ref get = empty ? tf::attr(config, n_get) : nullptr;
    Ref sec = get ? tf::call(get.get(), {section.obj(), empty.get()}) : nullptr;
    Ref get2 = sec ? tf::attr(sec.get(), n_get) : nullptr;
    Ref value = get2 ? tf::call(get2.get(), {key.obj(), Py_False}) : nullptr;
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// The last element of result.<name> when present and truthy (errors_train,
// errors_val), or the attribute itself (error_test); None when absent.
bool read_error(PyObject* result, const tf::Name& name, bool last, Ref& out) {
    int has = PyObject_HasAttrWithError(result, name.obj());
    if (has <= 0) return has == 0;
    Ref value = tf::attr(result, name);
    if (!value) return false;
    if (!last) {
        out = value;
        return true;
    }
    int truth = PyObject_IsTrue(value.get());
    if (truth <= 0) return truth == 0;
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    Ref item = minus_one ? Ref::steal(PyObject_GetItem(value.get(), minus_one.get())) : nullptr;
    if (!item) return false;
    out = item;
    return true;
}

// The lock that keeps the captures of training runs in this process from
// overlapping: a second run waits (with the interpreter lock released) until
// the first has restored sys.stdout. Reentrant, so that a pipeline may itself
// start a run.
class RunLock {
public:
    bool acquire() {
        static PyObject* lock = nullptr;  // kept for the life of the process
        if (!lock) {
            Ref thread = tf::import_module("_thread");
            Ref rlock = thread ? tf::attr(thread.get(), n_RLock) : nullptr;
            Ref made = rlock ? tf::call(rlock.get(), {}) : nullptr;
            if (!made) return false;
            if (!lock) lock = made.release();
        }
        if (!tf::call_method(lock, n_acquire, {})) return false;
        held_ = lock;
        return true;
    }
    // Releases a held lock; a pending exception stays as it is.
    void release() {
        if (!held_) return;
        PyObject* exc = PyErr_GetRaisedException();
        Ref r = tf::call_method(held_, n_release, {});
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        held_ = nullptr;
    }
    ~RunLock() { release(); }

private:
    PyObject* held_ = nullptr;
};

// Everything after a successful validation: directories, log, capture, the
// timed pipeline call and the result.
PyObject* run(const tf::Args& a, PyObject* config) {
    const tf::Function& F = f_fitrun;
    Ref model_dir = call_global(n__get_model_save_dir);
    if (!model_dir) return F.fail(DIRS);
    Ref plots_dir = call_global(n__get_plots_dir);
    if (!plots_dir) return F.fail(DIRS + 1);
    Ref logs_dir = call_global(n__get_logs_dir);
    if (!logs_dir) return F.fail(DIRS + 2);

    Ref datetime = tf::lookup(n_datetime);
    Ref now = datetime ? tf::call_method(datetime.get(), n_now, {}) : nullptr;
    Ref format = now ? str("%Y%m%d_%H%M%S") : nullptr;
    Ref stamp = format ? tf::call_method(now.get(), n_strftime, {format.get()}) : nullptr;
    if (!stamp) return F.fail(STAMP);

    PyObject* given = a[INTERP_METHOD];
    int use_given = given == Py_None ? 0 : PyObject_IsTrue(given);
    if (use_given < 0) return F.fail(METHOD);
    Ref method_value;
    if (use_given) {
        method_value = Ref::borrow(given);
    } else {
        Ref model = Ref::steal(PyObject_GetItem(config, n_MODEL_PARAM.obj()));
        method_value = model ? Ref::steal(PyObject_GetItem(model.get(), n_interp_method.obj())) : nullptr;
    }
    Ref method = method_value ? text(method_value.get()) : nullptr;
    if (!method) return F.fail(METHOD);

    Ref part = file_name_part(method.get());
    Ref stem = part ? concat({str("training_").get(), part.get(), str("_").get(), stamp.get()}) : nullptr;
    if (!stem) return F.fail(LOG_NAME);

    int has_output = PySequence_Contains(config, n_OUTPUT.obj());
    if (has_output < 0) return F.fail(OUTPUT_SECTION);
    if (!has_output) {
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || PyObject_SetItem(config, n_OUTPUT.obj(), fresh.get()) < 0) return F.fail(OUTPUT_SECTION);
    }
    Ref output = Ref::steal(PyObject_GetItem(config, n_OUTPUT.obj()));
    if (!output) return F.fail(OUTPUT_SECTION + 1);
    const std::pair<const tf::Name*, PyObject*> dirs[] = {
        {&n_model_save_dir, model_dir.get()}, {&n_plots_dir, plots_dir.get()}, {&n_logs_dir, logs_dir.get()}};
    for (int i = 0; i < 3; ++i) {
        Ref s = Ref::steal(PyObject_Str(dirs[i].second));
        if (!s || PyObject_SetItem(output.get(), dirs[i].first->obj(), s.get()) < 0)
            return F.fail(OUTPUT_SECTION + 1 + i);
    }

    Ref time = tf::import_module("time");
    if (!time) return F.fail(IMPORT_TIME);
    Ref training_time = Ref::borrow(Py_None), train_rmse = training_time, val_rmse = training_time,
        test_rmse = training_time;

    // with LogCapture(log_path): ..., one run at a time
    RunLock run_lock;
    if (!run_lock.acquire()) return F.fail(CAPTURE);
    Ref log_path = claim_log_path(logs_dir.get(), stem.get());
    if (!log_path) return F.fail(CAPTURE);
    Ref capture = call_global(n_LogCapture, {log_path.get()});
    Ref exit = capture ? tf::attr(capture.get(), n___exit__) : nullptr;
    Ref enter = exit ? tf::attr(capture.get(), n___enter__) : nullptr;
    if (!enter || !tf::call(enter.get(), {})) {
        remove_file(log_path.get());  // the run never started: leave no log behind
        return F.fail(CAPTURE);
    }

    int line = 0;
    auto step = [&](bool ok, int at) {
        if (!ok && !line) line = at;
        return ok;
    };
    bool ok =
        step(print(concat({str("\n").get(), str(kRule).get()}).get()), BANNER) &&
        step(print(str("Starting Training Pipeline").get()), BANNER + 1) &&
        step(print(str(kRule).get()), BANNER + 2) &&
        step(print(concat({str("Model save directory: ").get(), text(model_dir.get()).get()}).get()), BANNER + 3) &&
        step(print(concat({str("Plots directory: ").get(), text(plots_dir.get()).get()}).get()), BANNER + 4) &&
        step(print(concat({str("Log file: ").get(), text(log_path.get()).get()}).get()), BANNER + 5) &&
        step(print(concat({str(kRule).get(), str("\n").get()}).get()), BANNER + 6);
    bool banner_ok = ok;

    if (ok) {  // try:
        Ref start = tf::call_method(time.get(), n_time, {});
        Ref train = step(static_cast<bool>(start), TIME_START) ? tf::lookup(n_train_model) : nullptr;
        Ref kwnames = train ? Ref::steal(PyTuple_Pack(3, n_config.obj(), n_run_type.obj(), n_gpu_idx.obj())) : nullptr;
        Ref result = kwnames ? tf::call(train.get(), {config, a[RUN_TYPE], a[GPU_IDX]}, kwnames.get()) : nullptr;
        Ref end = step(static_cast<bool>(result), TRAIN_CALL) ? tf::call_method(time.get(), n_time, {}) : nullptr;
        Ref elapsed = end ? Ref::steal(PyNumber_Subtract(end.get(), start.get())) : nullptr;
        if (elapsed) training_time = elapsed;
        ok = step(static_cast<bool>(elapsed), TIME_END) &&
             step(read_error(result.get(), n_errors_train, true, train_rmse) &&
                      read_error(result.get(), n_errors_val, true, val_rmse) &&
                      read_error(result.get(), n_error_test, false, test_rmse),
                  READ_ERRORS) &&
             step(print(str("\nTraining completed successfully!").get()), DONE);
        if (ok) {
            Ref seconds = Ref::steal(PyObject_Format(training_time.get(), str(".2f").get()));
            ok = step(print(seconds ? concat({str("Total training time: ").get(), seconds.get(), str(" seconds").get()}).get()
                                    : nullptr),
                      DONE + 1);
        }
    }

    if (ok) {
        if (leave(exit.get(), nullptr) < 0) return F.fail(CAPTURE);
        run_lock.release();
    } else {
        tf::add_traceback(F.qualname, line);
        bool is_exception = banner_ok && PyErr_ExceptionMatches(PyExc_Exception);
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (is_exception) {  // except Exception as e: print(...); raise
            Ref shown = text(exc.get());
            Ref message = shown ? concat({str("\nTraining failed with error: ").get(), shown.get()}) : nullptr;
            if (!print(message.get())) {
                tf::add_traceback(F.qualname, FAILED);
                Ref err = Ref::steal(PyErr_GetRaisedException());
                if (err.get() != exc.get()) PyException_SetContext(err.get(), exc.release());
                exc = err;
            }
        }
        int suppressed = leave(exit.get(), exc.get());
        run_lock.release();
        if (suppressed < 0) return F.fail(CAPTURE);
        if (!suppressed) {
            PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
    }

    int save = switch_on(config, n_TRAIN_PARAM, n_bool_save_model);
    int plot = save < 0 ? -1 : switch_on(config, n_PLOT, n_bool_plot);
    if (plot < 0) return F.fail(RESULT);
    Ref model_path = save ? Ref::steal(PyObject_Str(model_dir.get())) : Ref::borrow(Py_None);
    Ref plots_path = plot ? Ref::steal(PyObject_Str(plots_dir.get())) : Ref::borrow(Py_None);
    Ref log_text = Ref::steal(PyObject_Str(log_path.get()));
    Ref model = Ref::steal(PyObject_GetItem(config, n_MODEL_PARAM.obj()));
    Ref method_after = model ? Ref::steal(PyObject_GetItem(model.get(), n_interp_method.obj())) : nullptr;
    Ref out = Ref::steal(PyDict_New());
    if (!model_path || !plots_path || !log_text || !method_after || !out) return F.fail(RESULT);
    const std::pair<const tf::Name*, PyObject*> items[] = {
        {&n_config, config},
        {&n_model_save_path, model_path.get()},
        {&n_plots_path, plots_path.get()},
        {&n_log_path, log_text.get()},
        {&n_training_completed, Py_True},
        {&n_interp_method, method_after.get()},
        {&n_run_type, a[RUN_TYPE]},
        {&n_train_rmse, train_rmse.get()},
        {&n_val_rmse, val_rmse.get()},
        {&n_test_rmse, test_rmse.get()},
        {&n_training_time_seconds, training_time.get()},
    };
    for (auto& [key, value] : items)
        if (PyDict_SetItem(out.get(), key->obj(), value) < 0) return F.fail(RESULT);
    return out.release();
}

PyObject* execute_fitrun(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const tf::Function& F = f_fitrun;
    tf::Args a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;

    Ref config = call_global(n__load_reference_config);
    if (!config) return F.fail(LOAD);

    Ref filenames;
    if (a[DATA_TRAIN] != Py_None) {
        filenames = Ref::steal(PyList_New(0));
        for (int i : {DATA_TRAIN, DATA_VAL, DATA_TEST}) {
            if (!filenames) break;
            if (a[i] != Py_None && PyList_Append(filenames.get(), a[i]) < 0) filenames = nullptr;
        }
        if (!filenames) return F.fail(FILENAMES);
    }
    Ref user = caller_sections(a, filenames.get());
    if (!user) return F.fail(SECTIONS);

    config = call_global(n__deep_update, {config.get(), user.get()});
    if (!config) return F.fail(MERGE);
    Ref missing = call_global(n__validate_required_fields, {user.get()});
    if (!missing) return F.fail(VALIDATE);
    int any = PyObject_IsTrue(missing.get());
    if (any < 0) return F.fail(MISSING);
    if (any) {
        Ref sep = str(", ");
        Ref joined = sep ? Ref::steal(PyUnicode_Join(sep.get(), missing.get())) : nullptr;
        Ref message = joined ? concat({str("Missing required fields: ").get(), joined.get(),
                                       str(". These fields must be provided by the user.").get()})
                             : nullptr;
        if (message) tf::raise(PyExc_ValueError, message.get());
        return F.fail(MISSING + 1);
    }
    return run(a, config.get());
}

// ---------------------------------------------------------------------------
// Module body

const char* const kDeepUpdateDoc =
    "\n"
    "    Recursively update a nested dictionary.\n"
    "\n"
    "    Args:\n"
    "        base: The base dictionary to update\n"
    "        updates: The dictionary with updates to apply\n"
    "\n"
    "    Returns:\n"
    "        Updated dictionary\n"
    "    ";
const char* const kValidateDoc =
    "\n"
    "    Check if all required fields are provided.\n"
    "\n"
    "    Returns:\n"
    "        List of missing required field paths (e.g., [\"DATA_PARAM.input_col\"])\n"
    "    ";

PyMethodDef m_get_tools_dir = {"_get_tools_dir", get_tools_dir, METH_NOARGS, "Get the tools directory path."};
PyMethodDef m_get_model_save_dir = {"_get_model_save_dir", get_model_save_dir, METH_NOARGS,
                                    "Get the directory for saving models."};
PyMethodDef m_get_plots_dir = {"_get_plots_dir", get_plots_dir, METH_NOARGS, "Get the directory for saving plots."};
PyMethodDef m_get_logs_dir = {"_get_logs_dir", get_logs_dir, METH_NOARGS, "Get the directory for saving logs."};
PyMethodDef m_get_config_ref_path = {"_get_config_ref_path", get_config_ref_path, METH_NOARGS,
                                     "Get the path to the reference config file."};
PyMethodDef m_load_reference_config = {"_load_reference_config", load_reference_config, METH_NOARGS,
                                       "Load the reference configuration from YAML file."};
PyMethodDef m_validate = {"_validate_required_fields", cfunc(validate_required_fields),
                          METH_FASTCALL | METH_KEYWORDS, kValidateDoc};
PyMethodDef m_deep_update = {"_deep_update", cfunc(deep_update), METH_FASTCALL | METH_KEYWORDS, kDeepUpdateDoc};
PyMethodDef m_fitrun = {"execute_fitrun", cfunc(execute_fitrun), METH_FASTCALL | METH_KEYWORDS, kFitrunDoc};

Ref required_fields() {
    return Ref::steal(Py_BuildValue("{s:[sss]}", "DATA_PARAM", "input_col", "output_col", "data_train"));
}

bool body(tf::Body& b) {
    f_validate = {"_validate_required_fields", "quelmar.tools.fitrun._validate_required_fields", 91, kValidateDoc,
                  {{&n_user_config, tf::Kind::Dict}}, true};
    f_deep_update = {"_deep_update", "quelmar.tools.fitrun._deep_update", 113, kDeepUpdateDoc,
                     {{&n_base, tf::Kind::Dict}, {&n_updates, tf::Kind::Dict}}, true};
    std::vector<tf::Param> params;
    for (int i = 0; i < kParams; ++i) {
        const FitParam& p = fit_params[i];
        params.push_back({&p.name, p.kind, i != RUN_TYPE && i != GPU_IDX, p.line,
                          i == RUN_TYPE ? default_run_type : i == GPU_IDX ? default_gpu_idx : nullptr});
    }
    f_fitrun = {"execute_fitrun", "quelmar.tools.fitrun.execute_fitrun", FIT_DEF, kFitrunDoc, params, false};

    return b.import(3, "os") && b.import(4, "sys") && b.import(5, "io") &&
           b.from_import(6, "typing", {"Any", "Optional"}) && b.from_import(7, "pathlib", {"Path"}) &&
           b.from_import(8, "datetime", {"datetime"}) &&
           b.guard(11, 13, "yaml", "yaml", "PyYAML is not installed. Install it with: pip install pyyaml") &&
           b.from_import(17, "ordane.main", {"train_model"}, 1) &&
           b.set(21, "REQUIRED_FIELDS", required_fields()) &&
           b.def(26, &m_get_tools_dir) && b.def(30, &m_get_model_save_dir) && b.def(36, &m_get_plots_dir) &&
           b.def(42, &m_get_logs_dir) && b.set(49, "LogCapture", make_log_capture()) &&
           b.def(74, &m_get_config_ref_path) && b.def(79, &m_load_reference_config) &&
           b.def(91, &m_validate) && b.def(113, &m_deep_update) && b.def(FIT_DEF, &m_fitrun);
}

tf::ModuleSpec spec{kModule, "fitrun", "Train data configuration and training tool - Cython-compiled module.",
                    "quelmar/tools/fitrun.py", body, {}};

}  // namespace

PyMODINIT_FUNC PyInit_fitrun(void) { return tf::init(spec); }
