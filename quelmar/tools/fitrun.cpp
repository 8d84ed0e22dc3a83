// quelmar.tools.fitrun: the training tool. Builds a training configuration
// from the reference file config/config_ref.yaml and the caller's arguments,
// runs the training pipeline with standard output captured into a log file,
// and reports the result.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "toolframe.hpp"

namespace {

using tf::Ref;

// ---------------------------------------------------------------------------
// Constant names and texts

tf::Name n_Path("Path"), n___file__("__file__"), n_parent("parent"), n_mkdir("mkdir"), n_parents("parents"),
    n_exist_ok("exist_ok"), n__get_tools_dir("_get_tools_dir"), n__get_model_save_dir("_get_model_save_dir"),
    n__get_plots_dir("_get_plots_dir"), n__get_logs_dir("_get_logs_dir"),
    n__get_config_ref_path("_get_config_ref_path"), n__load_reference_config("_load_reference_config"),
    n__validate_required_fields("_validate_required_fields"), n__deep_update("_deep_update"),
    n_REQUIRED_FIELDS("REQUIRED_FIELDS"), n_LogCapture("LogCapture"), n_train_model("train_model"),
    n_io("io"), n_sys("sys"), n_yaml("yaml"), n_datetime("datetime"), n_open("open"), n_print("print"),
    n_StringIO("StringIO"), n_stdout("stdout"), n_log_path("log_path"), n_captured("captured"),
    n_original_stdout("original_stdout"), n_getvalue("getvalue"), n_write("write"), n_close("close"),
    n_exists("exists"), n_safe_load("safe_load"), n_items("items"), n_get("get"),
    n_now("now"), n_strftime("strftime"), n_time("time"), n_encoding("encoding"), n_config("config"),
    n_run_type("run_type"), n_gpu_idx("gpu_idx"), n_self("self"), n_exc_type("exc_type"),
    n_exc_val("exc_val"), n_exc_tb("exc_tb"), n_base("base"), n_updates("updates"),
    n_user_config("user_config"), n___enter__("__enter__"), n___exit__("__exit__"),
    n_errors_train("errors_train"), n_errors_val("errors_val"), n_error_test("error_test"),
    n_regression("regression"), n_utf8("utf-8"), n_w("w"), n_r("r"), n_errors("errors"),
    n_backslashreplace("backslashreplace"), n_log_file("log_file"), n_detach_file("detach_file"), n_RLock("RLock"), n_acquire("acquire"), n_release("release"),
    n__RUN_LOCK_TIMEOUT("_RUN_LOCK_TIMEOUT"), n_register_at_fork("register_at_fork"), n_after_in_child("after_in_child"),
    n_DATA_PARAM("DATA_PARAM"), n_MODEL_PARAM("MODEL_PARAM"), n_TRAIN_PARAM("TRAIN_PARAM"), n_PLOT("PLOT"),
    n_OUTPUT("OUTPUT"), n_data_filenames("data_filenames"), n_interp_method("interp_method"),
    n_model_save_dir("model_save_dir"), n_plots_dir("plots_dir"), n_logs_dir("logs_dir"),
    n_bool_save_model("bool_save_model"), n_bool_plot("bool_plot"), n_model_save_path("model_save_path"),
    n_plots_path("plots_path"), n_training_completed("training_completed"), n_train_rmse("train_rmse"),
    n_val_rmse("val_rmse"), n_test_rmse("test_rmse"), n_training_time_seconds("training_time_seconds"),
    n_input_col("input_col"), n_output_col("output_col"), n_data_train("data_train"), n_ordane("ordane"),
    n_model_saved("model_saved"), n_plots("plots"), n_logs("logs"), n_config_dir("config"),
    n_config_ref_yaml("config_ref.yaml"), n_os("os"), n_environ("environ"),
    n_expanduser("expanduser"), n_absolute("absolute"), n_is_absolute("is_absolute"), n_home("home"),
    n_QUELMAR_HOME("QUELMAR_HOME"), n_XDG_DATA_HOME("XDG_DATA_HOME"), n_dot_local(".local"), n_share("share"),
    n_quelmar("quelmar"), n_interrupted("interrupted"), n_LogCapture_doc("Context manager to capture stdout and save to log file.");

#define RULE "============================================================"
tf::Name t_empty(""), t_dot("."), t_underscore("_"), t_comma(", "), t_2f(".2f"), t_stamp("%Y%m%d_%H%M%S"),
    t_training("training_"), t_rule(RULE), t_banner_first("\n" RULE), t_banner_last(RULE "\n"),
    t_starting("Starting Training Pipeline"), t_model_dir("Model save directory: "), t_plots_dir("Plots directory: "),
    t_log_file("Log file: "), t_completed("\nTraining completed successfully!"),
    t_total_time("Total training time: "), t_seconds(" seconds"), t_failed("\nTraining failed with error: "),
    t_missing("Missing required fields: "), t_missing_end(". These fields must be provided by the user."),
    t_not_found("Reference config file not found: "), t_no_write("no write permission");
#undef RULE

// Calls a module global by name with positional arguments.
Ref call_global(const tf::Name& name, std::initializer_list<PyObject*> args = {}) {
    Ref f = tf::lookup(name);
    return f ? tf::call(f.get(), args) : nullptr;
}

// str(obj) the way a formatted-string field renders it.
Ref text(PyObject* obj) { return Ref::steal(PyObject_Format(obj, nullptr)); }

// Concatenates str objects; null when a part is null or on failure.
Ref concat(std::initializer_list<PyObject*> parts) {
    Ref out = Ref::borrow(t_empty.obj());
    for (PyObject* p : parts) {
        if (!out || !p) return nullptr;
        out = Ref::steal(PyUnicode_Concat(out.get(), p));
    }
    return out;
}

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

// ---------------------------------------------------------------------------
// Module body lines of quelmar/tools/fitrun.py (the lines of each `def` are
// with its function below).

namespace body_line {
constexpr int IMPORT_OS = 3, IMPORT_SYS = 4, IMPORT_IO = 5, IMPORT_TYPING = 6, IMPORT_PATHLIB = 7,
              IMPORT_DATETIME = 8, IMPORT_YAML = 11, RAISE_NO_YAML = 13, IMPORT_ORDANE = 17,
              REQUIRED_FIELDS = 21, CLASS_LOG_CAPTURE = 49;
}  // namespace body_line

// ---------------------------------------------------------------------------
// Tool directories

// Path(__file__).parent
Ref module_dir() {
    Ref path = tf::lookup(n_Path);
    Ref file = path ? tf::lookup(n___file__) : nullptr;
    Ref p = file ? tf::call(path.get(), {file.get()}) : nullptr;
    return p ? tf::attr(p.get(), n_parent) : nullptr;
}

// base / part / ..., with the path join operator.
Ref join(Ref base, std::initializer_list<const tf::Name*> parts) {
    for (const tf::Name* part : parts) {
        if (!base) return nullptr;
        base = Ref::steal(PyNumber_TrueDivide(base.get(), part->obj()));
    }
    return base;
}

namespace tools_dir_line { constexpr int DEF = 26, RETURN = 28; }
PyObject* get_tools_dir(PyObject*, PyObject*);
tf::Function f_get_tools_dir("_get_tools_dir", tools_dir_line::DEF, "Get the tools directory path.", get_tools_dir);

PyObject* get_tools_dir(PyObject*, PyObject*) {
    // return Path(__file__).parent
    Ref d = module_dir();
    if (!d) return f_get_tools_dir.fail(tools_dir_line::RETURN);
    return d.release();
}

// The lines of one directory function: `d = _get_tools_dir() / ...`, then
// `d.mkdir(parents=True, exist_ok=True)`.
struct DirLines { int def, path, mkdir; };

// os.environ.get(name) when it is a non-empty str, else null (no error set).
Ref environ_text(const tf::Name& name) {
    Ref os = tf::lookup(n_os);
    Ref environ = os ? tf::attr(os.get(), n_environ) : nullptr;
    Ref value = environ ? tf::call_method(environ.get(), n_get, {name.obj()}) : nullptr;
    if (!value) return nullptr;
    if (!PyUnicode_Check(value.get()) || PyUnicode_GET_LENGTH(value.get()) == 0) return Ref();
    return value;
}

// Path(text).expanduser().absolute()
Ref user_path(PyObject* text) {
    Ref path = tf::lookup(n_Path);
    Ref p = path ? tf::call(path.get(), {text}) : nullptr;
    Ref expanded = p ? tf::call_method(p.get(), n_expanduser, {}) : nullptr;
    return expanded ? tf::call_method(expanded.get(), n_absolute, {}) : nullptr;
}

// The output home chosen by the user: Path(os.environ["QUELMAR_HOME"]), or
// None when the variable is unset or empty; null on error.
Ref chosen_home() {
    Ref home = environ_text(n_QUELMAR_HOME);
    if (!home) return PyErr_Occurred() ? nullptr : Ref::borrow(Py_None);
    return user_path(home.get());
}

// The platform's per-user data directory for quelmar:
//     base = os.environ.get("XDG_DATA_HOME")
//     base = Path(base) if base and Path(base).is_absolute() else Path.home() / ".local" / "share"
//     return base / "quelmar"
Ref user_data_home() {
    Ref base;
    if (Ref xdg = environ_text(n_XDG_DATA_HOME)) {
        Ref path = tf::lookup(n_Path);
        Ref p = path ? tf::call(path.get(), {xdg.get()}) : nullptr;
        Ref absolute = p ? tf::call_method(p.get(), n_is_absolute, {}) : nullptr;
        if (!absolute) return nullptr;
        if (absolute.get() == Py_True) base = p;
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    if (!base) {
        Ref path = tf::lookup(n_Path);
        Ref home = path ? tf::call_method(path.get(), n_home, {}) : nullptr;
        base = join(home, {&n_dot_local, &n_share});
    }
    return join(base, {&n_quelmar});
}

// d.mkdir(parents=True, exist_ok=True)
bool mkdirs(PyObject* d) {
    Ref mkdir = tf::attr(d, n_mkdir);
    Ref kw = Ref::steal(PyTuple_Pack(2, n_parents.obj(), n_exist_ok.obj()));
    return mkdir && kw && tf::call(mkdir.get(), {Py_True, Py_True}, kw.get());
}

// Whether this process may create files in the existing directory d.
bool writable(PyObject* d) {
    Ref fs = Ref::steal(PyOS_FSPath(d));
    Ref bytes = fs ? Ref::steal(PyUnicode_EncodeFSDefault(fs.get())) : nullptr;
    if (!bytes) {
        PyErr_Clear();
        return true;  // let the writes themselves report the problem
    }
    return ::access(PyBytes_AS_STRING(bytes.get()), W_OK | X_OK) == 0;
}

// Whether the error in flight says the place is not writable: a
// PermissionError (EACCES, EPERM) or an OSError for a read-only file system.
bool not_writable_error() {
    if (PyErr_ExceptionMatches(PyExc_PermissionError)) return true;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref no = Ref::steal(PyObject_GetAttrString(exc.get(), "errno"));
    long value = no && PyLong_Check(no.get()) ? PyLong_AsLong(no.get()) : -1;
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    return value == EROFS;
}

// Why the last directory of a run left its documented place (the log says
// so); null while none did. Cleared by each run before it asks for its
// places. Owned; a plain pointer, so nothing is released after finalisation.
PyObject* g_relocated = nullptr;

// The tools directory is not writable: the directory moves to the per-user
// data home (same sub-folders), and g_relocated says why.
Ref relocate(PyObject* tools, std::initializer_list<const tf::Name*> parts, PyObject* why) {
    Ref home = user_data_home();
    Ref d = home ? join(home, parts) : nullptr;
    if (!d || !mkdirs(d.get())) return nullptr;
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Output directory %S is not writable (%S); using %S instead (set QUELMAR_HOME to choose the place)",
        tools, why, home.get()));
    if (!note) return nullptr;
    Py_XSETREF(g_relocated, note.release());
    return d;
}

// The lines of the three creating functions, with the output home:
//     home = os.environ.get("QUELMAR_HOME")
//     if home:                                  # the user's choice, errors pass
//         d = Path(home).expanduser().absolute() / parts...
//         d.mkdir(parents=True, exist_ok=True)
//         return d
//     d = _get_tools_dir() / parts...
//     try:
//         d.mkdir(parents=True, exist_ok=True)
//     except PermissionError / read-only file system:
//         return <the per-user data home> / parts...
//     if not os.access(d, os.W_OK | os.X_OK):
//         return <the per-user data home> / parts...
//     return d
PyObject* make_dir(const tf::Function& F, const DirLines& at, std::initializer_list<const tf::Name*> parts) {
    Ref home = chosen_home();
    if (!home) return F.fail(at.path);
    bool chosen = home.get() != Py_None;
    Ref base = chosen ? home : call_global(n__get_tools_dir);
    Ref d = base ? join(base, parts) : nullptr;
    if (!d) return F.fail(at.path);

    if (!mkdirs(d.get())) {
        if (chosen || !not_writable_error()) return F.fail(at.mkdir);
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref moved = relocate(base.get(), parts, exc.get());
        if (!moved) {  // the fallback's error, raised while handling the first one
            Ref err = Ref::steal(PyErr_GetRaisedException());
            if (err) PyException_SetContext(err.get(), exc.release());
            PyErr_SetRaisedException(err ? err.release() : exc.release());
            return F.fail(at.mkdir);
        }
        return moved.release();
    }
    if (!chosen && !writable(d.get())) {
        Ref moved = relocate(base.get(), parts, t_no_write.obj());
        if (!moved) return F.fail(at.mkdir);
        return moved.release();
    }
    return d.release();
}

constexpr DirLines kModelDirLines{30, 32, 33}, kPlotsDirLines{36, 38, 39}, kLogsDirLines{42, 44, 45};
PyObject* get_model_save_dir(PyObject*, PyObject*);
PyObject* get_plots_dir(PyObject*, PyObject*);
PyObject* get_logs_dir(PyObject*, PyObject*);
tf::Function f_get_model_save_dir("_get_model_save_dir", kModelDirLines.def, "Get the directory for saving models.",
                                  get_model_save_dir);
tf::Function f_get_plots_dir("_get_plots_dir", kPlotsDirLines.def, "Get the directory for saving plots.",
                             get_plots_dir);
tf::Function f_get_logs_dir("_get_logs_dir", kLogsDirLines.def, "Get the directory for saving logs.", get_logs_dir);

PyObject* get_model_save_dir(PyObject*, PyObject*) {
    return make_dir(f_get_model_save_dir, kModelDirLines, {&n_ordane, &n_model_saved});
}
PyObject* get_plots_dir(PyObject*, PyObject*) { return make_dir(f_get_plots_dir, kPlotsDirLines, {&n_plots}); }
PyObject* get_logs_dir(PyObject*, PyObject*) { return make_dir(f_get_logs_dir, kLogsDirLines, {&n_logs}); }

// ---------------------------------------------------------------------------
// LogCapture: captures sys.stdout into a buffer and writes it to a log file.

PyObject* capture_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* capture_enter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* capture_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* capture_get_logs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

namespace init_line { constexpr int DEF = 52, LOG_PATH = 53, CAPTURED = 54, ORIGINAL = 55; }
namespace enter_line { constexpr int DEF = 57, SAVE_STDOUT = 58, REDIRECT = 59; }
namespace exit_line { constexpr int DEF = 62, RESTORE = 63, OPEN = 64, WRITE = 65; }
namespace get_logs_line { constexpr int DEF = 69, RETURN = 71; }

tf::Function f_init("__init__", init_line::DEF, nullptr, {{&n_self}, {&n_log_path}}, capture_init, "LogCapture");
tf::Function f_enter("__enter__", enter_line::DEF, nullptr, {{&n_self}}, capture_enter, "LogCapture");
tf::Function f_exit("__exit__", exit_line::DEF, nullptr, {{&n_self}, {&n_exc_type}, {&n_exc_val}, {&n_exc_tb}},
                    capture_exit, "LogCapture");
tf::Function f_get_logs("get_logs", get_logs_line::DEF, "Get the captured log content.", {{&n_self}},
                        capture_get_logs, "LogCapture");

PyObject* capture_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const tf::Function& F = f_init;
    tf::Args<2> a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];

    // self.log_path = log_path
    if (PyObject_SetAttr(self, n_log_path.obj(), a[1]) < 0) return F.fail(init_line::LOG_PATH);

    // self.captured = io.StringIO()
    Ref io = tf::lookup(n_io);
    Ref string_io = io ? tf::attr(io.get(), n_StringIO) : nullptr;
    Ref buffer = string_io ? tf::call(string_io.get(), {}) : nullptr;
    if (!buffer || PyObject_SetAttr(self, n_captured.obj(), buffer.get()) < 0) return F.fail(init_line::CAPTURED);

    // self.original_stdout = None
    if (PyObject_SetAttr(self, n_original_stdout.obj(), Py_None) < 0) return F.fail(init_line::ORIGINAL);
    Py_RETURN_NONE;
}

PyObject* capture_enter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const tf::Function& F = f_enter;
    tf::Args<1> a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];

    // self.original_stdout = sys.stdout
    Ref sys = tf::lookup(n_sys);
    Ref current = sys ? tf::attr(sys.get(), n_stdout) : nullptr;
    if (!current || PyObject_SetAttr(self, n_original_stdout.obj(), current.get()) < 0)
        return F.fail(enter_line::SAVE_STDOUT);

    // sys.stdout = self.captured
    Ref captured = tf::attr(self, n_captured);
    Ref sys2 = captured ? tf::lookup(n_sys) : nullptr;
    if (!sys2 || PyObject_SetAttr(sys2.get(), n_stdout.obj(), captured.get()) < 0)
        return F.fail(enter_line::REDIRECT);
    return Py_NewRef(self);
}

PyObject* capture_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const tf::Function& F = f_exit;
    tf::Args<4> a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];

    // sys.stdout = self.original_stdout: first, so that the stream is back
    // even when the log cannot be written.
    Ref original = tf::attr(self, n_original_stdout);
    Ref sys = original ? tf::lookup(n_sys) : nullptr;
    if (!sys || PyObject_SetAttr(sys.get(), n_stdout.obj(), original.get()) < 0) return F.fail(exit_line::RESTORE);

    // with open(self.log_path, "w", ...) as f: whatever the captured text
    // holds is written: what UTF-8 cannot encode (lone surrogates) is escaped.
    Ref path = tf::attr(self, n_log_path);
    Ref file = path ? open_text(path.get(), n_w, &n_backslashreplace) : nullptr;
    if (!file) return F.fail(exit_line::OPEN);

    //     f.write(self.captured.getvalue())
    Ref captured = tf::attr(self, n_captured);
    Ref content = captured ? tf::call_method(captured.get(), n_getvalue, {}) : nullptr;
    bool written = content && tf::call_method(file.get(), n_write, {content.get()});
    if (!close_file(file.get(), written)) return F.fail(exit_line::WRITE);
    Py_RETURN_FALSE;
}

PyObject* capture_get_logs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const tf::Function& F = f_get_logs;
    tf::Args<1> a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;

    // return self.captured.getvalue()   (declared -> str)
    Ref captured = tf::attr(a[0], n_captured);
    Ref value = captured ? tf::call_method(captured.get(), n_getvalue, {}) : nullptr;
    if (!value) return F.fail(get_logs_line::RETURN);
    if (!PyUnicode_CheckExact(value.get()) && value.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.get())->tp_name);
        return F.fail(get_logs_line::RETURN);
    }
    return value.release();
}

// class LogCapture: ... (an ordinary class built by type()).
Ref make_log_capture() {
    Ref init_ann = Ref::steal(Py_BuildValue("{s:s}", "log_path", "Path"));
    Ref logs_ann = Ref::steal(Py_BuildValue("{s:s}", "return", "str"));
    if (!init_ann || !logs_ann) return nullptr;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    struct { const char* key; Ref value; } entries[] = {
        {"__module__", Ref::borrow(tf::state().modname)},
        {"__qualname__", Ref::borrow(n_LogCapture.obj())},
        {"__doc__", Ref::borrow(n_LogCapture_doc.obj())},
        {f_init.name, tf::new_method(f_init, init_ann)},
        {f_enter.name, tf::new_method(f_enter, nullptr)},
        {f_exit.name, tf::new_method(f_exit, nullptr)},
        {f_get_logs.name, tf::new_method(f_get_logs, logs_ann)},
    };
    for (auto& e : entries)
        if (!e.value || PyDict_SetItemString(ns.get(), e.key, e.value.get()) < 0) return nullptr;
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) return nullptr;
    return tf::call(reinterpret_cast<PyObject*>(&PyType_Type), {n_LogCapture.obj(), bases.get(), ns.get()});
}

// ---------------------------------------------------------------------------
// Reference configuration

namespace ref_path_line { constexpr int DEF = 74, RETURN = 76; }
PyObject* get_config_ref_path(PyObject*, PyObject*);
tf::Function f_get_config_ref_path("_get_config_ref_path", ref_path_line::DEF,
                                   "Get the path to the reference config file.", get_config_ref_path);

PyObject* get_config_ref_path(PyObject*, PyObject*) {
    // return Path(__file__).parent / "config" / "config_ref.yaml"
    Ref p = join(module_dir(), {&n_config_dir, &n_config_ref_yaml});
    if (!p) return f_get_config_ref_path.fail(ref_path_line::RETURN);
    return p.release();
}

namespace load_line { constexpr int DEF = 79, PATH = 81, EXISTS = 82, NOT_FOUND = 83, OPEN = 85, LOAD = 86; }
PyObject* load_reference_config(PyObject*, PyObject*);
tf::Function f_load_reference_config("_load_reference_config", load_line::DEF,
                                     "Load the reference configuration from YAML file.", load_reference_config);

PyObject* load_reference_config(PyObject*, PyObject*) {
    const tf::Function& F = f_load_reference_config;
    // config_path = _get_config_ref_path()
    Ref path = call_global(n__get_config_ref_path);
    if (!path) return F.fail(load_line::PATH);

    // if not config_path.exists():
    Ref exists = tf::call_method(path.get(), n_exists, {});
    int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found < 0) return F.fail(load_line::EXISTS);

    //     raise FileNotFoundError(f"Reference config file not found: {config_path}")
    if (!found) {
        Ref shown = text(path.get());
        Ref message = concat({t_not_found.obj(), shown.get()});
        if (message) tf::raise(PyExc_FileNotFoundError, message.get());
        return F.fail(load_line::NOT_FOUND);
    }

    // with open(config_path, "r", encoding="utf-8") as f:
    Ref file = open_text(path.get(), n_r);
    if (!file) return F.fail(load_line::OPEN);

    //     return yaml.safe_load(f)   (declared -> dict)
    Ref yaml = tf::lookup(n_yaml);
    Ref config = yaml ? tf::call_method(yaml.get(), n_safe_load, {file.get()}) : nullptr;
    if (config && !PyDict_CheckExact(config.get()) && config.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(config.get())->tp_name);
        config = nullptr;
    }
    if (!close_file(file.get(), static_cast<bool>(config))) return F.fail(load_line::LOAD);
    return config.release();
}

// ---------------------------------------------------------------------------
// _validate_required_fields
//
//     missing = []
//     for section, fields in REQUIRED_FIELDS.items():
//         if section not in user_config:
//             for field in fields:
//                 missing.append(f"{section}.{field}")
//         else:
//             for field in fields:
//                 if field not in user_config[section]:
//                     missing.append(f"{section}.{field}")
//     return missing

namespace validate_line {
constexpr int DEF = 91, MISSING = 97, FOR_SECTIONS = 98, SECTION_IN = 99, FOR_ABSENT = 100, APPEND_ABSENT = 101,
              FOR_PRESENT = 104, FIELD_IN = 105, APPEND_PRESENT = 106;
}  // namespace validate_line

const char* const kValidateDoc =
    "\n"
    "    Check if all required fields are provided.\n"
    "\n"
    "    Returns:\n"
    "        List of missing required field paths (e.g., [\"DATA_PARAM.input_col\"])\n"
    "    ";

PyObject* validate_required_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
tf::Function f_validate("_validate_required_fields", validate_line::DEF, kValidateDoc,
                        {{&n_user_config, tf::Kind::Dict}}, validate_required_fields);

// REQUIRED_FIELDS: {"DATA_PARAM": ["input_col", "output_col", "data_train"]},
// made of the interned names, so that lookups in the caller's dictionaries
// usually match by identity.
Ref required_fields() {
    Ref fields = Ref::steal(PyList_New(0));
    Ref out = Ref::steal(PyDict_New());
    if (!fields || !out) return nullptr;
    for (const tf::Name* n : {&n_input_col, &n_output_col, &n_data_train})
        if (PyList_Append(fields.get(), n->obj()) < 0) return nullptr;
    if (PyDict_SetItem(out.get(), n_DATA_PARAM.obj(), fields.get()) < 0) return nullptr;
    return out;
}

// The pairs of REQUIRED_FIELDS.items(). An exact dict is walked in place with
// PyDict_Next, with the checks of the dict's own items iterator (the loop
// body may run Python code: a key's __eq__ while testing membership); any
// other mapping through its items() method.
class RequiredItems {
public:
    bool start(PyObject* required) {
        if (PyDict_CheckExact(required)) {
            dict_ = required;
            used_ = left_ = PyDict_GET_SIZE(required);
            return true;
        }
        Ref items = tf::call_method(required, n_items, {});
        iter_ = items ? Ref::steal(PyObject_GetIter(items.get())) : nullptr;
        return static_cast<bool>(iter_);
    }
    // 1 with the next pair in `pair`, 0 at the end, -1 on error.
    int next(Ref* pair) {
        if (!dict_) {
            Ref item = Ref::steal(PyIter_Next(iter_.get()));
            if (!item) return PyErr_Occurred() ? -1 : 0;
            return tf::unpack(item.get(), pair, 2) ? 1 : -1;
        }
        if (PyDict_GET_SIZE(dict_) != used_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject *key, *value;
        if (!PyDict_Next(dict_, &pos_, &key, &value)) return 0;
        if (left_-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        pair[0] = Ref::borrow(key);
        pair[1] = Ref::borrow(value);
        return 1;
    }

private:
    PyObject* dict_ = nullptr;  // borrowed: the caller holds REQUIRED_FIELDS
    Py_ssize_t pos_ = 0, used_ = 0, left_ = 0;
    Ref iter_;
};

// The fields of one section: an exact list is read by index (as its iterator
// would, checking the length at each step), anything else through iter().
class Fields {
public:
    bool start(PyObject* fields) {
        if (PyList_CheckExact(fields)) {
            list_ = Ref::borrow(fields);
            return true;
        }
        iter_ = Ref::steal(PyObject_GetIter(fields));
        return static_cast<bool>(iter_);
    }
    // 1 with the next field, 0 at the end, -1 on error.
    int next(Ref& field) {
        if (list_) {
            if (i_ >= PyList_GET_SIZE(list_.get())) return 0;
            field = Ref::borrow(PyList_GET_ITEM(list_.get(), i_++));
            return 1;
        }
        field = Ref::steal(PyIter_Next(iter_.get()));
        if (field) return 1;
        return PyErr_Occurred() ? -1 : 0;
    }

private:
    Ref list_, iter_;
    Py_ssize_t i_ = 0;
};

// f"{section}.{field}", built in one piece for ASCII str objects.
Ref field_path(PyObject* section, PyObject* field) {
    if (PyUnicode_CheckExact(section) && PyUnicode_CheckExact(field) && PyUnicode_IS_ASCII(section) &&
        PyUnicode_IS_ASCII(field)) {
        Py_ssize_t ls = PyUnicode_GET_LENGTH(section), lf = PyUnicode_GET_LENGTH(field);
        Ref out = Ref::steal(PyUnicode_New(ls + 1 + lf, 127));
        if (!out) return nullptr;
        char* p = static_cast<char*>(PyUnicode_DATA(out.get()));
        std::memcpy(p, PyUnicode_DATA(section), ls);
        p[ls] = '.';
        std::memcpy(p + ls + 1, PyUnicode_DATA(field), lf);
        return out;
    }
    Ref s = text(section);
    Ref f = s ? text(field) : nullptr;
    return concat({s.get(), t_dot.obj(), f.get()});
}

bool append_path(PyObject* missing, PyObject* section, PyObject* field) {
    Ref path = field_path(section, field);
    return path && PyList_Append(missing, path.get()) == 0;
}

PyObject* validate_required_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    namespace L = validate_line;
    const tf::Function& F = f_validate;
    tf::Args<1> a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* user_config = a[0];

    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) return F.fail(L::MISSING);

    Ref required = tf::lookup(n_REQUIRED_FIELDS);
    RequiredItems items;
    if (!required || !items.start(required.get())) return F.fail(L::FOR_SECTIONS);

    Ref pair[2];
    int more;
    while ((more = items.next(pair)) > 0) {
        PyObject* section = pair[0].get();
        int has = PyDict_Contains(user_config, section);
        if (has < 0) return F.fail(L::SECTION_IN);
        Fields fields;
        Ref field;
        int got;
        if (!has) {
            if (!fields.start(pair[1].get())) return F.fail(L::FOR_ABSENT);
            while ((got = fields.next(field)) > 0)
                if (!append_path(missing.get(), section, field.get())) return F.fail(L::APPEND_ABSENT);
            if (got < 0) return F.fail(L::FOR_ABSENT);
            continue;
        }
        Ref given = Ref::steal(PyObject_GetItem(user_config, section));
        if (!given) return F.fail(L::FIELD_IN);
        if (!fields.start(pair[1].get())) return F.fail(L::FOR_PRESENT);
        while ((got = fields.next(field)) > 0) {
            int present = PySequence_Contains(given.get(), field.get());
            if (present < 0) return F.fail(L::FIELD_IN);
            if (!present && !append_path(missing.get(), section, field.get())) return F.fail(L::APPEND_PRESENT);
        }
        if (got < 0) return F.fail(L::FOR_PRESENT);
    }
    if (more < 0) return F.fail(L::FOR_SECTIONS);
    return missing.release();
}

// ---------------------------------------------------------------------------
// _deep_update
//
//     result = base.copy()
//     for key, value in updates.items():
//         if key in result and isinstance(result[key], dict) and isinstance(value, dict):
//             result[key] = _deep_update(result[key], value)
//         else:
//             result[key] = value
//     return result

namespace deep_update_line { constexpr int DEF = 113, COPY = 124, FOR = 125, TEST = 126, MERGE = 127, SET = 129; }

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

PyObject* deep_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
tf::Function f_deep_update("_deep_update", deep_update_line::DEF, kDeepUpdateDoc,
                           {{&n_base, tf::Kind::Dict}, {&n_updates, tf::Kind::Dict}}, deep_update);

// Nesting of _deep_update on this thread: the nested calls that merges have
// made and not yet left. It is bounded like the recursion of a Python
// function (sys.getrecursionlimit()) and by the stack the thread has left
// (the binding checks it at each level: a level takes a few hundred bytes),
// so a self-referential or very deep input raises RecursionError instead of
// running off the stack, with a high recursion limit or on a small thread
// stack alike; a nesting that fits raises nothing. Counted around the nested
// call only, so that a call with nothing to merge does not touch it.
[[gnu::tls_model("initial-exec")]] thread_local int merge_depth = 0;

// The loop of _deep_update over a non-empty `updates`, out of line, so that a
// call with nothing to merge stays short.
PyObject* merge_updates(Ref result, PyObject* updates);

PyObject* deep_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    namespace L = deep_update_line;
    const tf::Function& F = f_deep_update;
    tf::Args<2> a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;

    Ref result = Ref::steal(PyDict_Copy(a[0]));
    if (!result) return F.fail(L::COPY);
    if (PyDict_GET_SIZE(a[1]) == 0) return result.release();
    return merge_updates(std::move(result), a[1]);
}

[[gnu::noinline]] PyObject* merge_updates(Ref result, PyObject* updates) {
    namespace L = deep_update_line;
    const tf::Function& F = f_deep_update;
    // A snapshot of the pairs, in a list on the heap (each level of the
    // recursion keeps its own, and a thread's stack may be small): the loop
    // runs Python code (a key's __eq__ or __hash__, a rebound _deep_update)
    // that may change `updates`.
    Ref items = Ref::steal(PyDict_Items(updates));
    if (!items) return F.fail(L::FOR);
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        PyObject* current = PyDict_GetItemWithError(result.get(), key);  // borrowed
        if (!current && PyErr_Occurred()) return F.fail(L::TEST);
        if (current && PyDict_Check(current) && PyDict_Check(value)) {
            // The nested call would be level merge_depth + 2 (this one is merge_depth + 1).
            if (merge_depth + 1 >= Py_GetRecursionLimit()) {
                PyErr_SetString(PyExc_RecursionError,
                                "maximum recursion depth exceeded while calling a Python object");
                return F.fail(L::MERGE);
            }
            Ref keep = Ref::borrow(current);
            ++merge_depth;
            Ref merged = call_global(n__deep_update, {keep.get(), value});
            --merge_depth;
            if (!merged || PyDict_SetItem(result.get(), key, merged.get()) < 0) return F.fail(L::MERGE);
            continue;
        }
        if (PyDict_SetItem(result.get(), key, value) < 0) return F.fail(L::SET);
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

namespace fit_line {
constexpr int DEF = 135, LOAD = 250, FILENAMES = 253, SECTIONS = 262, MERGE = 290, VALIDATE = 293, MISSING = 295,
              RAISE_MISSING = 296;
// run(): the directories, the log name, the OUTPUT section, the import
constexpr int MODEL_DIR = 302, PLOTS_DIR = 303, LOGS_DIR = 304, STAMP = 307, METHOD = 310, LOG_NAME = 313,
              OUTPUT_SECTION = 317, OUTPUT_MODEL_DIR = 318, OUTPUT_PLOTS_DIR = 319, OUTPUT_LOGS_DIR = 320,
              IMPORT_TIME = 322;
// the captured training: the `with` line, the banner's seven prints, the try block
constexpr int CAPTURE = 329, BANNER = 330, TIME_START = 339, TRAIN_CALL = 340, TIME_END = 341, READ_ERRORS = 344,
              DONE = 351, TOTAL_TIME = 352, FAILED = 355;
constexpr int RESULT = 359;
}  // namespace fit_line

// Where a given value lands in the caller's dictionary (under its own name).
enum Section { MODEL, DATA, TRAIN, PLOT, NONE };

PyObject* default_run_type() { return Py_NewRef(n_regression.obj()); }
PyObject* default_gpu_idx() { return PyLong_FromLong(0); }

struct FitParam {
    tf::Name name;
    tf::Kind kind;
    Section section;
    int line;                               // the parameter's line, named by its conversion errors (0: none)
    bool none_ok = true;                    // None allowed
    PyObject* (*dflt)() = tf::default_none;
};

// The 43 parameters in signature order.
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
    {tf::Name("run_type"), tf::Kind::Str, NONE, 0, false, default_run_type},
    {tf::Name("gpu_idx"), tf::Kind::Int, NONE, 179, false, default_gpu_idx},
};
constexpr size_t kParams = sizeof fit_params / sizeof fit_params[0];
using FitArgs = tf::Args<kParams>;

std::vector<tf::Param> fit_param_table() {
    std::vector<tf::Param> out;
    for (const FitParam& p : fit_params) out.push_back({&p.name, p.kind, p.none_ok, p.line, p.dflt});
    return out;
}

// The position of a parameter in the signature, found by its name.
size_t param_index(const char* name) {
    size_t i = 0;
    while (i < kParams && std::strcmp(fit_params[i].name.text(), name) != 0) ++i;
    return i;
}
const size_t kDataTrain = param_index("data_train"), kDataVal = param_index("data_val"),
             kDataTest = param_index("data_test"), kInterpMethod = param_index("interp_method"),
             kRunType = param_index("run_type"), kGpuIdx = param_index("gpu_idx");

PyObject* execute_fitrun(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
tf::Function f_fitrun("execute_fitrun", fit_line::DEF, kFitrunDoc, fit_param_table(), execute_fitrun);

bool fit_fail(int line) {
    f_fitrun.fail(line);
    return false;
}

// The caller's dictionary: sections in the order MODEL, DATA, TRAIN, PLOT,
// keys in signature order, only arguments that are not None, no empty
// section; data_filenames (when given) right after data_train.
Ref caller_sections(const FitArgs& a, PyObject* filenames) {
    static const tf::Name* section_names[] = {&n_MODEL_PARAM, &n_DATA_PARAM, &n_TRAIN_PARAM, &n_PLOT};
    Ref user = Ref::steal(PyDict_New());
    if (!user) return nullptr;
    for (int s = MODEL; s <= PLOT; ++s) {
        Ref section = Ref::steal(PyDict_New());
        if (!section) return nullptr;
        for (size_t i = 0; i < kParams; ++i) {
            if (fit_params[i].section != s) continue;
            if (a[i] != Py_None && PyDict_SetItem(section.get(), fit_params[i].name.obj(), a[i]) < 0) return nullptr;
            if (i == kDataTrain && filenames && PyDict_SetItem(section.get(), n_data_filenames.obj(), filenames) < 0)
                return nullptr;
        }
        if (PyDict_GET_SIZE(section.get()) && PyDict_SetItem(user.get(), section_names[s]->obj(), section.get()) < 0)
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

// ("after_in_child",), kept for the life of the process (null on failure).
PyObject* kw_after_in_child() {
    static PyObject* kw = nullptr;
    if (!kw) kw = PyTuple_Pack(1, n_after_in_child.obj());
    return kw;
}

// The training lock: it keeps the captures of training runs in this process
// from overlapping. A second run waits (with the interpreter lock released)
// until the first has restored sys.stdout. It is reentrant, so that a
// pipeline may itself start a run in its own thread; a run started in
// another thread waits at most kRunLockTimeout seconds (or the module global
// _RUN_LOCK_TIMEOUT, when it is set and not None) and then raises
// TimeoutError: a pipeline that starts a run in another thread and waits for
// it would otherwise wait for ever. A child made by os.fork() while a run of
// another thread held the lock starts with a free lock and with the sys.stdout
// that run had replaced: that thread and its run do not exist in the child.
// The state below is only touched with the interpreter lock held.
namespace run_lock {
constexpr long kRunLockTimeout = 600;
PyObject* lock = nullptr;      // an _thread.RLock, made by the first run
unsigned long holder = 0;      // the thread whose runs hold it
int depth = 0;                 // how many runs of that thread hold it
PyObject* console = nullptr;   // sys.stdout as the outermost of them found it
bool at_fork = false;          // the child's reset is registered

// os.register_at_fork(after_in_child=...): a lock held by a run of another
// thread is replaced by a free one, and sys.stdout put back. A run of the
// forking thread itself goes on in the child and keeps the lock.
PyObject* reset_in_child(PyObject*, PyObject*) {
    if (depth == 0 || holder == PyThread_get_thread_ident()) Py_RETURN_NONE;
    PyObject* exc = PyErr_GetRaisedException();
    if (console && PySys_GetObject("stdout") != console && PySys_SetObject("stdout", console) < 0) PyErr_Clear();
    Py_CLEAR(console);
    Py_CLEAR(lock);  // a run's own reference (in a thread gone with the fork) stays unreleased
    depth = 0;
    holder = 0;
    PyErr_SetRaisedException(exc);
    Py_RETURN_NONE;
}
PyMethodDef reset_def = {"_reset_run_lock", reset_in_child, METH_NOARGS, nullptr};

bool make_lock() {
    Ref thread = tf::import_module("_thread");
    Ref rlock = thread ? tf::attr(thread.get(), n_RLock) : nullptr;
    Ref made = rlock ? tf::call(rlock.get(), {}) : nullptr;
    if (!made) return false;
    if (!at_fork) {
        Ref os = tf::import_module("os");
        Ref reg = os ? tf::attr(os.get(), n_register_at_fork) : nullptr;
        Ref reset = reg ? Ref::steal(PyCMethod_New(&reset_def, nullptr, tf::state().modname, nullptr)) : nullptr;
        PyObject* kw = reset ? kw_after_in_child() : nullptr;
        if (!kw || !tf::call(reg.get(), {reset.get()}, kw)) return false;
        at_fork = true;
    }
    if (!lock) lock = made.release();
    return true;
}
}  // namespace run_lock

class RunLock {
public:
    // Takes the lock, waiting at most the timeout; false with an exception set.
    bool acquire() {
        namespace R = run_lock;
        if (!R::lock && !R::make_lock()) return false;
        PyObject* given = PyDict_GetItemWithError(tf::state().dict, n__RUN_LOCK_TIMEOUT.obj());  // borrowed
        if (!given && PyErr_Occurred()) return false;
        Ref timeout = given && given != Py_None ? Ref::borrow(given) : Ref::steal(PyLong_FromLong(R::kRunLockTimeout));
        Ref lock = Ref::borrow(R::lock);
        Ref got = timeout ? tf::call_method(lock.get(), n_acquire, {Py_True, timeout.get()}) : nullptr;
        int taken = got ? PyObject_IsTrue(got.get()) : -1;
        if (taken < 0) return false;
        if (!taken) {
            PyErr_Format(PyExc_TimeoutError,
                         "Another training run in this process did not end within %S seconds; this run did not "
                         "start (the runs of one process capture standard output one at a time)",
                         timeout.get());
            return false;
        }
        if (R::depth++ == 0) {
            R::holder = PyThread_get_thread_ident();
            Py_XSETREF(R::console, Py_XNewRef(PySys_GetObject("stdout")));
        }
        held_ = lock.release();
        return true;
    }
    // Releases a held lock; a pending exception stays as it is.
    void release() {
        if (!held_) return;
        PyObject* exc = PyErr_GetRaisedException();
        if (held_ == run_lock::lock && --run_lock::depth == 0) {
            run_lock::holder = 0;
            Py_CLEAR(run_lock::console);
        }
        Ref r = tf::call_method(held_, n_release, {});
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        Py_CLEAR(held_);
    }
    ~RunLock() { release(); }

private:
    PyObject* held_ = nullptr;  // owned
};

// The live log: a training run's capture buffer also appends what it
// captures to the run's (already claimed) log file as it arrives, so the file
// grows during the run, `tail -f` follows it, and a run killed midway keeps
// everything printed before. Leaving the capture still writes the whole text
// over the file, so a finished run's log is exactly what the capture holds.
// LogCapture used on its own keeps a plain StringIO; only the run swaps in
// this buffer. The class is written in Python: it is only a few lines of
// glue around io.StringIO and a text file.
const char* const LIVE_LOG_SOURCE = R"py(
import io

class LiveLog(io.StringIO):
    def __init__(self, path):
        super().__init__()
        self.file = open(path, "a", encoding="utf-8", errors="backslashreplace")

    def write(self, s):
        n = super().write(s)
        if self.file is not None:
            try:
                self.file.write(s)
                self.file.flush()
            except Exception:
                self.detach_file()  # the capture still writes the whole log at the end
        return n

    def detach_file(self):
        file, self.file = self.file, None
        if file is not None:
            try:
                file.close()
            except Exception:
                pass

class EpochCount:
    """Counts the epochs a run reports to the pipeline's progress hook, passing each report on."""

    def __init__(self):
        try:
            from quelmar.tools.ordane import progress
        except Exception:
            progress = None
        self.progress, self.done, self.total = progress, 0, None
        self.previous = progress.set_callback(self) if progress is not None else None

    def __call__(self, done, total):
        self.done, self.total = done, total
        if self.previous is not None:
            self.previous(done, total)

    def close(self):
        if self.progress is not None and self.progress.current() is self:
            self.progress.set_callback(self.previous)

    def interrupted(self, exc):
        what = type(exc).__name__
        text = str(exc)
        if text:
            what += f" ({text})"
        of = f" of {self.total}" if self.total else ""
        return f"\nTraining interrupted by {what} after {self.done}{of} epochs"
)py";

// A class of the source above (borrowed; the namespace is kept for the life
// of the process).
PyObject* run_helper(const char* name) {
    static PyObject* helpers = nullptr;
    if (!helpers) {
        Ref code = Ref::steal(Py_CompileString(LIVE_LOG_SOURCE, "<quelmar.tools.fitrun live log>", Py_file_input));
        Ref ns = code ? Ref::steal(PyDict_New()) : nullptr;
        if (!ns || PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetFrameBuiltins()) < 0) return nullptr;
        Ref done = Ref::steal(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
        if (!done) return nullptr;
        if (!helpers) helpers = ns.release();
    }
    PyObject* type = PyDict_GetItemString(helpers, name);  // borrowed
    if (!type) PyErr_Format(PyExc_SystemError, "fitrun: no run helper %s", name);
    return type;
}

// A new LiveLog writing through to `log_path`.
Ref live_log(PyObject* log_path) {
    PyObject* type = run_helper("LiveLog");
    return type ? tf::call(type, {log_path}) : nullptr;
}

// The epoch counter of one run: hooked into the pipeline's progress reports
// while it lives; its interrupted() line ends the log of an interrupted run.
class EpochCounter {
public:
    EpochCounter() {
        PyObject* type = run_helper("EpochCount");
        counter_ = type ? tf::call(type, {}) : nullptr;
        PyErr_Clear();  // without a counter the line says 0 epochs
    }
    ~EpochCounter() {
        if (!counter_) return;
        PyObject* exc = PyErr_GetRaisedException();
        Ref r = tf::call_method(counter_.get(), n_close, {});
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    // print("\nTraining interrupted by <exc> after <n> of <total> epochs")
    bool print_interrupted(PyObject* exc) {
        Ref line = counter_ ? tf::call_method(counter_.get(), n_interrupted, {exc}) : nullptr;
        return print(line.get());
    }

private:
    Ref counter_;
};

// Gives a standard capture (one whose buffer is exactly an io.StringIO) the
// live-log buffer instead; a replaced LogCapture is left as it is. Returns
// the live buffer, None when there is none, or null on error.
Ref go_live(PyObject* capture, PyObject* log_path) {
    Ref captured = Ref::steal(PyObject_GetAttr(capture, n_captured.obj()));
    if (!captured) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    Ref io = tf::import_module("io");
    Ref string_io = io ? tf::attr(io.get(), n_StringIO) : nullptr;
    if (!string_io) return nullptr;
    if (reinterpret_cast<PyObject*>(Py_TYPE(captured.get())) != string_io.get()) return Ref::borrow(Py_None);
    Ref live = live_log(log_path);
    if (!live || PyObject_SetAttr(capture, n_captured.obj(), live.get()) < 0) return nullptr;
    return live;
}

// Stops the write-through before the capture writes the whole log.
void stop_live(PyObject* live) {
    if (live == Py_None) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref r = tf::call_method(live, n_detach_file, {});
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

// config["OUTPUT"]["log_file"] = str(log_path): the pipeline names what it
// saves after the run's log (the same time stamp).
bool set_log_file(PyObject* config, PyObject* log_path) {
    Ref output = Ref::steal(PyObject_GetItem(config, n_OUTPUT.obj()));
    Ref text = output ? Ref::steal(PyObject_Str(log_path)) : nullptr;
    return text && PyObject_SetItem(output.get(), n_log_file.obj(), text.get()) == 0;
}

// The three output directories of a run.
struct Dirs {
    Ref model, plots, logs;
    Ref relocated;  // why they left their documented place, or null
};

// What the training reports; None until it has run.
struct Training {
    Ref seconds = Ref::borrow(Py_None), train_rmse = seconds, val_rmse = seconds, test_rmse = seconds;
};

// model_save_dir = _get_model_save_dir(); plots_dir = ...; logs_dir = ...
bool make_dirs(Dirs& d) {
    Py_CLEAR(g_relocated);
    d.model = call_global(n__get_model_save_dir);
    if (!d.model) return fit_fail(fit_line::MODEL_DIR);
    d.plots = call_global(n__get_plots_dir);
    if (!d.plots) return fit_fail(fit_line::PLOTS_DIR);
    d.logs = call_global(n__get_logs_dir);
    if (!d.logs) return fit_fail(fit_line::LOGS_DIR);
    d.relocated = Ref::steal(g_relocated);
    g_relocated = nullptr;
    return true;
}

// The log-path step:
//     timestamp = datetime.now().strftime("%Y%m%d_%H%M%S")
//     method = interp_method or config["MODEL_PARAM"]["interp_method"]
//     log_name = f"training_{method}_{timestamp}"
// A plain `logs_dir / f"{log_name}.log"` would overwrite the log of another
// run started in the same second and lets the method's text reach the file
// system: the name is sanitised here and made unique when it is claimed.
Ref log_stem(PyObject* config, PyObject* interp_method) {
    Ref datetime = tf::lookup(n_datetime);
    Ref now = datetime ? tf::call_method(datetime.get(), n_now, {}) : nullptr;
    Ref stamp = now ? tf::call_method(now.get(), n_strftime, {t_stamp.obj()}) : nullptr;
    if (!stamp) return fit_fail(fit_line::STAMP), nullptr;

    int use_given = interp_method == Py_None ? 0 : PyObject_IsTrue(interp_method);
    if (use_given < 0) return fit_fail(fit_line::METHOD), nullptr;
    Ref method_value;
    if (use_given) {
        method_value = Ref::borrow(interp_method);
    } else {
        Ref model = Ref::steal(PyObject_GetItem(config, n_MODEL_PARAM.obj()));
        method_value = model ? Ref::steal(PyObject_GetItem(model.get(), n_interp_method.obj())) : nullptr;
    }
    Ref method = method_value ? text(method_value.get()) : nullptr;
    if (!method) return fit_fail(fit_line::METHOD), nullptr;

    Ref part = file_name_part(method.get());
    Ref stem = part ? concat({t_training.obj(), part.get(), t_underscore.obj(), stamp.get()}) : nullptr;
    if (!stem) return fit_fail(fit_line::LOG_NAME), nullptr;
    return stem;
}

// The OUTPUT-section step:
//     if "OUTPUT" not in config: config["OUTPUT"] = {}
//     config["OUTPUT"]["model_save_dir"] = str(model_save_dir)   (and plots_dir, logs_dir)
bool set_output_section(PyObject* config, const Dirs& d) {
    int has_output = PySequence_Contains(config, n_OUTPUT.obj());
    if (has_output < 0) return fit_fail(fit_line::OUTPUT_SECTION);
    if (!has_output) {
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || PyObject_SetItem(config, n_OUTPUT.obj(), fresh.get()) < 0)
            return fit_fail(fit_line::OUTPUT_SECTION);
    }
    Ref output = Ref::steal(PyObject_GetItem(config, n_OUTPUT.obj()));
    if (!output) return fit_fail(fit_line::OUTPUT_MODEL_DIR);
    const struct { const tf::Name& key; PyObject* dir; int line; } entries[] = {
        {n_model_save_dir, d.model.get(), fit_line::OUTPUT_MODEL_DIR},
        {n_plots_dir, d.plots.get(), fit_line::OUTPUT_PLOTS_DIR},
        {n_logs_dir, d.logs.get(), fit_line::OUTPUT_LOGS_DIR},
    };
    for (const auto& e : entries) {
        Ref s = Ref::steal(PyObject_Str(e.dir));
        if (!s || PyObject_SetItem(output.get(), e.key.obj(), s.get()) < 0) return fit_fail(e.line);
    }
    return true;
}

// print("\n" + "=" * 60); print("Starting Training Pipeline"); ... (lines 330 to 336)
bool print_banner(const Dirs& d, PyObject* log_path) {
    int line = fit_line::BANNER;
    if (!print(t_banner_first.obj())) return fit_fail(line);
    if (!print(t_starting.obj())) return fit_fail(line + 1);
    if (!print(t_rule.obj())) return fit_fail(line + 2);
    const struct { const tf::Name& label; PyObject* value; } shown[] = {
        {t_model_dir, d.model.get()}, {t_plots_dir, d.plots.get()}, {t_log_file, log_path}};
    for (int i = 0; i < 3; ++i) {
        Ref value = text(shown[i].value);
        if (!print(concat({shown[i].label.obj(), value.get()}).get())) return fit_fail(line + 3 + i);
    }
    if (!print(t_banner_last.obj())) return fit_fail(line + 6);
    if (d.relocated && !print(d.relocated.get())) return fit_fail(line + 6);
    return true;
}

// The body of the `try`:
//     start_time = time.time()
//     result = train_model(config=config, run_type=run_type, gpu_idx=gpu_idx)
//     training_time = time.time() - start_time
//     train_rmse = result.errors_train[-1] if ... (and val_rmse, test_rmse)
//     print("\nTraining completed successfully!")
//     print(f"Total training time: {training_time:.2f} seconds")
bool train(PyObject* time, PyObject* config, PyObject* run_type, PyObject* gpu_idx, Training& t) {
    Ref start = tf::call_method(time, n_time, {});
    if (!start) return fit_fail(fit_line::TIME_START);

    static PyObject* kwnames = nullptr;  // ("config", "run_type", "gpu_idx"), kept for the life of the process
    if (!kwnames && !(kwnames = PyTuple_Pack(3, n_config.obj(), n_run_type.obj(), n_gpu_idx.obj())))
        return fit_fail(fit_line::TRAIN_CALL);
    Ref train_model = tf::lookup(n_train_model);
    Ref result = train_model ? tf::call(train_model.get(), {config, run_type, gpu_idx}, kwnames) : nullptr;
    if (!result) return fit_fail(fit_line::TRAIN_CALL);

    Ref end = tf::call_method(time, n_time, {});
    Ref elapsed = end ? Ref::steal(PyNumber_Subtract(end.get(), start.get())) : nullptr;
    if (!elapsed) return fit_fail(fit_line::TIME_END);
    t.seconds = elapsed;

    if (!read_error(result.get(), n_errors_train, true, t.train_rmse) ||
        !read_error(result.get(), n_errors_val, true, t.val_rmse) ||
        !read_error(result.get(), n_error_test, false, t.test_rmse))
        return fit_fail(fit_line::READ_ERRORS);

    if (!print(t_completed.obj())) return fit_fail(fit_line::DONE);

    Ref seconds = Ref::steal(PyObject_Format(t.seconds.get(), t_2f.obj()));
    if (!print(concat({t_total_time.obj(), seconds.get(), t_seconds.obj()}).get()))
        return fit_fail(fit_line::TOTAL_TIME);
    return true;
}

// except Exception as e: print(f"\nTraining failed with error: {e}"); raise
// `exc` is the exception in flight; a failing print replaces it (chained).
void report_failure(Ref& exc) {
    Ref shown = text(exc.get());
    Ref message = shown ? concat({t_failed.obj(), shown.get()}) : nullptr;
    if (print(message.get())) return;
    fit_fail(fit_line::FAILED);
    Ref err = Ref::steal(PyErr_GetRaisedException());
    if (err.get() != exc.get()) PyException_SetContext(err.get(), exc.release());
    exc = err;
}

// The captured training step, one run at a time:
//     config["OUTPUT"]["log_file"] = str(log_path)
//     with LogCapture(log_path):          (its buffer a live log: see LiveLog)
//         <the banner>
//         try:
//             <train>
//         except Exception as e:
//             <report_failure>
//         except BaseException as e:     (an interrupt: KeyboardInterrupt, SystemExit)
//             print(f"\nTraining interrupted by {type(e).__name__} ({e}) after {done} of {total} epochs")
//             raise
Ref captured_training(PyObject* config, PyObject* run_type, PyObject* gpu_idx, const Dirs& d, PyObject* stem,
                      PyObject* time, Training& t) {
    RunLock run_lock;
    if (!run_lock.acquire()) return fit_fail(fit_line::CAPTURE), nullptr;
    Ref log_path = claim_log_path(d.logs.get(), stem);
    if (!log_path) return fit_fail(fit_line::CAPTURE), nullptr;

    Ref capture = set_log_file(config, log_path.get()) ? call_global(n_LogCapture, {log_path.get()}) : nullptr;
    Ref live = capture ? go_live(capture.get(), log_path.get()) : nullptr;
    Ref exit = live ? tf::attr(capture.get(), n___exit__) : nullptr;
    Ref enter = exit ? tf::attr(capture.get(), n___enter__) : nullptr;
    if (!enter || !tf::call(enter.get(), {})) {
        if (live) stop_live(live.get());
        remove_file(log_path.get());  // the run never started: leave no log behind
        return fit_fail(fit_line::CAPTURE), nullptr;
    }

    EpochCounter epochs;
    bool banner = print_banner(d, log_path.get());
    if (banner && train(time, config, run_type, gpu_idx, t)) {
        stop_live(live.get());
        if (leave(exit.get(), nullptr) < 0) return fit_fail(fit_line::CAPTURE), nullptr;
        return log_path;
    }

    bool is_exception = banner && PyErr_ExceptionMatches(PyExc_Exception);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (is_exception) {
        report_failure(exc);
    } else if (banner && !epochs.print_interrupted(exc.get())) {
        PyErr_Clear();  // the interrupt stays the exception that leaves; the log keeps what it holds
    }
    stop_live(live.get());
    int suppressed = leave(exit.get(), exc.get());
    run_lock.release();
    if (suppressed < 0) return fit_fail(fit_line::CAPTURE), nullptr;
    if (!suppressed) {
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }
    return log_path;
}

// The result step:
//     return {"config": config,
//             "model_save_path": str(model_save_dir) if config.get("TRAIN_PARAM", {}).get("bool_save_model", False) else None,
//             "plots_path": str(plots_dir) if config.get("PLOT", {}).get("bool_plot", False) else None,
//             "log_path": str(log_path), "training_completed": True,
//             "interp_method": config["MODEL_PARAM"]["interp_method"], "run_type": run_type,
//             "train_rmse": ..., "val_rmse": ..., "test_rmse": ..., "training_time_seconds": training_time}
PyObject* result(PyObject* config, PyObject* run_type, const Dirs& d, PyObject* log_path, const Training& t) {
    int save = switch_on(config, n_TRAIN_PARAM, n_bool_save_model);
    int plot = save < 0 ? -1 : switch_on(config, n_PLOT, n_bool_plot);
    if (plot < 0) return f_fitrun.fail(fit_line::RESULT);
    Ref model_path = save ? Ref::steal(PyObject_Str(d.model.get())) : Ref::borrow(Py_None);
    Ref plots_path = plot ? Ref::steal(PyObject_Str(d.plots.get())) : Ref::borrow(Py_None);
    Ref log_text = Ref::steal(PyObject_Str(log_path));
    Ref model = Ref::steal(PyObject_GetItem(config, n_MODEL_PARAM.obj()));
    Ref method = model ? Ref::steal(PyObject_GetItem(model.get(), n_interp_method.obj())) : nullptr;
    Ref out = Ref::steal(PyDict_New());
    if (!model_path || !plots_path || !log_text || !method || !out) return f_fitrun.fail(fit_line::RESULT);
    const std::pair<const tf::Name*, PyObject*> items[] = {
        {&n_config, config},
        {&n_model_save_path, model_path.get()},
        {&n_plots_path, plots_path.get()},
        {&n_log_path, log_text.get()},
        {&n_training_completed, Py_True},
        {&n_interp_method, method.get()},
        {&n_run_type, run_type},
        {&n_train_rmse, t.train_rmse.get()},
        {&n_val_rmse, t.val_rmse.get()},
        {&n_test_rmse, t.test_rmse.get()},
        {&n_training_time_seconds, t.seconds.get()},
    };
    for (auto& [key, value] : items)
        if (PyDict_SetItem(out.get(), key->obj(), value) < 0) return f_fitrun.fail(fit_line::RESULT);
    return out.release();
}

// Everything after a successful validation:
//     model_save_dir, plots_dir, logs_dir = <the three directories>
//     log_path = <the log-path step>
//     <the OUTPUT-section step>
//     import time
//     <the captured training step>
//     return <the result step>
PyObject* run(PyObject* config, PyObject* interp_method, PyObject* run_type, PyObject* gpu_idx) {
    Dirs dirs;
    if (!make_dirs(dirs)) return nullptr;
    Ref stem = log_stem(config, interp_method);
    if (!stem) return nullptr;
    if (!set_output_section(config, dirs)) return nullptr;

    Ref time = tf::import_module("time");
    if (!time) return f_fitrun.fail(fit_line::IMPORT_TIME);

    Training training;
    Ref log_path = captured_training(config, run_type, gpu_idx, dirs, stem.get(), time.get(), training);
    if (!log_path) return nullptr;
    return result(config, run_type, dirs, log_path.get(), training);
}

//     config = _load_reference_config()
//     data_filenames = [f for f in (data_train, data_val, data_test) if f is not None]  (when data_train is given)
//     user_config = <the caller's sections>
//     config = _deep_update(config, user_config)
//     missing = _validate_required_fields(user_config)
//     if missing: raise ValueError(f"Missing required fields: {', '.join(missing)}. ...")
//     return run(config, interp_method, run_type, gpu_idx)
PyObject* execute_fitrun(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    namespace L = fit_line;
    const tf::Function& F = f_fitrun;
    FitArgs a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;

    Ref config = call_global(n__load_reference_config);
    if (!config) return F.fail(L::LOAD);

    Ref filenames;
    if (a[kDataTrain] != Py_None) {
        filenames = Ref::steal(PyList_New(0));
        for (size_t i : {kDataTrain, kDataVal, kDataTest}) {
            if (!filenames) break;
            if (a[i] != Py_None && PyList_Append(filenames.get(), a[i]) < 0) filenames = nullptr;
        }
        if (!filenames) return F.fail(L::FILENAMES);
    }

    Ref user = caller_sections(a, filenames.get());
    if (!user) return F.fail(L::SECTIONS);

    config = call_global(n__deep_update, {config.get(), user.get()});
    if (!config) return F.fail(L::MERGE);

    Ref missing = call_global(n__validate_required_fields, {user.get()});
    if (!missing) return F.fail(L::VALIDATE);

    int any = PyObject_IsTrue(missing.get());
    if (any < 0) return F.fail(L::MISSING);
    if (any) {
        Ref joined = Ref::steal(PyUnicode_Join(t_comma.obj(), missing.get()));
        Ref message = joined ? concat({t_missing.obj(), joined.get(), t_missing_end.obj()}) : nullptr;
        if (message) tf::raise(PyExc_ValueError, message.get());
        return F.fail(L::RAISE_MISSING);
    }
    return run(config.get(), a[kInterpMethod], a[kRunType], a[kGpuIdx]);
}

// ---------------------------------------------------------------------------
// Module body

bool body(tf::Body& b) {
    namespace L = body_line;
    return b.import(L::IMPORT_OS, "os") && b.import(L::IMPORT_SYS, "sys") && b.import(L::IMPORT_IO, "io") &&
           b.from_import(L::IMPORT_TYPING, "typing", {"Any", "Optional"}) &&
           b.from_import(L::IMPORT_PATHLIB, "pathlib", {"Path"}) &&
           b.from_import(L::IMPORT_DATETIME, "datetime", {"datetime"}) &&
           b.guard(L::IMPORT_YAML, L::RAISE_NO_YAML, "yaml", "yaml",
                   "PyYAML is not installed. Install it with: pip install pyyaml") &&
           b.from_import(L::IMPORT_ORDANE, "ordane.main", {"train_model"}, 1) &&
           b.set(L::REQUIRED_FIELDS, "REQUIRED_FIELDS", required_fields()) &&
           b.def(f_get_tools_dir) && b.def(f_get_model_save_dir) && b.def(f_get_plots_dir) &&
           b.def(f_get_logs_dir) && b.set(L::CLASS_LOG_CAPTURE, "LogCapture", make_log_capture()) &&
           b.def(f_get_config_ref_path) && b.def(f_load_reference_config) && b.def(f_validate) &&
           b.def(f_deep_update) && b.def(f_fitrun);
}

tf::ModuleSpec spec{"quelmar.tools.fitrun", "fitrun", "Train data configuration and training tool - Cython-compiled module.",
                    "quelmar/tools/fitrun.py", body};

}  // namespace

PyMODINIT_FUNC PyInit_fitrun(void) { return tf::init(spec); }
