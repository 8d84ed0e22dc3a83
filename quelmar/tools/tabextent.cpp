// quelmar.tools.tabextent: rows, columns and column names of a CSV table,
// read with pandas from a file or from text.
#include "toolframe.hpp"

namespace {

tf::Name n_file_path("file_path"), n_csv_content("csv_content"), n_pd("pd"), n_io("io"),
    n_read_csv("read_csv"), n_StringIO("StringIO"), n_shape("shape"), n_columns("columns"),
    n_tolist("tolist"), n_rows("rows"), n_column_names("column_names");

const char* const kDoc =
    "\n"
    "    Get the dimensions (rows, columns) of a CSV file.\n"
    "\n"
    "    Accepts either a file path to read from disk, or CSV content as a string\n"
    "    (useful when content is provided via Claude Desktop attachment).\n"
    "\n"
    "    Args:\n"
    "        file_path: Path to the CSV file on disk (optional)\n"
    "        csv_content: CSV content as a string (optional)\n"
    "\n"
    "    Returns:\n"
    "        Dictionary with 'rows', 'columns', and 'column_names' keys\n"
    "\n"
    "    Raises:\n"
    "        ValueError: If neither file_path nor csv_content is provided\n"
    "        FileNotFoundError: If file_path doesn't exist\n"
    "        pd.errors.EmptyDataError: If CSV is empty\n"
    "    ";

// Source lines of quelmar/tools/tabextent.py.
namespace line {
constexpr int IMPORT_TYPING = 3;  // from typing import Optional
constexpr int IMPORT_IO = 4;      // import io
constexpr int IMPORT_PANDAS = 7;  // import pandas as pd
constexpr int RAISE_NO_PANDAS = 9;
constexpr int DEF = 14;           // def execute_tabextent(file_path=None, csv_content=None):
constexpr int NEITHER = 38;       // raise ValueError("Either ...")
constexpr int BOTH = 43;          // raise ValueError("Provide only one ...")
constexpr int READ_PATH = 53;     // df = pd.read_csv(file_path)
constexpr int READ_TEXT = 59;     // df = pd.read_csv(io.StringIO(csv_content))
constexpr int SHAPE = 62;         // rows, columns = df.shape
constexpr int NAMES = 63;         // column_names = df.columns.tolist()
constexpr int RESULT = 66;        // return {"rows": ..., "columns": ..., "column_names": ...}
}  // namespace line

tf::Name m_neither("Either 'file_path' or 'csv_content' must be provided"),
    m_both("Provide only one of 'file_path' or 'csv_content', not both");

PyObject* execute_tabextent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

tf::Function function("execute_tabextent", line::DEF, kDoc,
                      {{&n_file_path, tf::Kind::Str, true, 0, tf::default_none},
                       {&n_csv_content, tf::Kind::Str, true, 0, tf::default_none}},
                      execute_tabextent);

// pd.read_csv(path) or pd.read_csv(io.StringIO(text))
tf::Ref read_table(PyObject* file_path, PyObject* csv_content) {
    tf::Ref pd = tf::lookup(n_pd);
    if (!pd) return nullptr;
    tf::Ref read_csv = tf::attr(pd.get(), n_read_csv);
    if (!read_csv) return nullptr;
    if (file_path != Py_None) return tf::call(read_csv.get(), {file_path});
    tf::Ref io = tf::lookup(n_io);
    if (!io) return nullptr;
    tf::Ref string_io = tf::attr(io.get(), n_StringIO);
    if (!string_io) return nullptr;
    tf::Ref buffer = tf::call(string_io.get(), {csv_content});
    if (!buffer) return nullptr;
    return tf::call(read_csv.get(), {buffer.get()});
}

PyObject* execute_tabextent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const tf::Function& F = function;
    tf::Args<2> a;
    if (!F.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* file_path = a[0];
    PyObject* csv_content = a[1];

    if (file_path == Py_None && csv_content == Py_None) {
        PyErr_SetObject(PyExc_ValueError, m_neither.obj());
        return F.fail(line::NEITHER);
    }
    if (file_path != Py_None && csv_content != Py_None) {
        PyErr_SetObject(PyExc_ValueError, m_both.obj());
        return F.fail(line::BOTH);
    }

    tf::Ref table = read_table(file_path, csv_content);
    if (!table) return F.fail(file_path != Py_None ? line::READ_PATH : line::READ_TEXT);

    tf::Ref shape = tf::attr(table.get(), n_shape);
    tf::Ref dims[2];
    if (!shape || !tf::unpack(shape.get(), dims, 2)) return F.fail(line::SHAPE);

    tf::Ref columns = tf::attr(table.get(), n_columns);
    tf::Ref names = columns ? tf::call_method(columns.get(), n_tolist, {}) : nullptr;
    if (!names) return F.fail(line::NAMES);

    tf::Ref result = tf::Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), n_rows.obj(), dims[0].get()) < 0 ||
        PyDict_SetItem(result.get(), n_columns.obj(), dims[1].get()) < 0 ||
        PyDict_SetItem(result.get(), n_column_names.obj(), names.get()) < 0)
        return F.fail(line::RESULT);
    return result.release();
}

bool body(tf::Body& b) {
    return b.from_import(line::IMPORT_TYPING, "typing", {"Optional"}) && b.import(line::IMPORT_IO, "io") &&
           b.guard(line::IMPORT_PANDAS, line::RAISE_NO_PANDAS, "pandas", "pd",
                   "pandas is not installed. Install it with: pip install pandas") &&
           b.def(function);
}

tf::ModuleSpec spec{"quelmar.tools.tabextent", "tabextent", "CSV dimensions tool - Cython-compiled module.",
                    "quelmar/tools/tabextent.py", body};

}  // namespace

PyMODINIT_FUNC PyInit_tabextent(void) { return tf::init(spec); }
