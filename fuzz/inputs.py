"""Random argument vectors for the tool functions.

Every input is a pure function of (function name, seed, index): `make_call`
builds it from a `random.Random` seeded with those three, so an input that once
crashed can be rebuilt from its three numbers alone (the regression corpus keeps
only those). Change the generator only by adding to it at the end of a choice
list, or the corpus entries will rebuild other inputs.
"""
import decimal
import fractions
import math
import pathlib
import random


class Boom(Exception):
    """Raised by the hostile values below; passing it through is documented behaviour."""


def _boom(*_):
    raise Boom("hostile value")


class StrSub(str):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class BadEqStr(str):
    """A keyword name or key whose comparison raises."""
    __eq__ = _boom
    __hash__ = str.__hash__


class WrongEqStr(str):
    """Claims to equal everything."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class StrSubBadStr(str):
    __str__ = _boom
    __format__ = _boom


class BadFloat:
    __float__ = _boom


class WrongFloat:
    def __float__(self):
        return "1.5"


class BadIndex:
    __index__ = _boom


class WrongIndex:
    def __index__(self):
        return 1.5


class BadInt:
    __int__ = _boom


class WrongInt:
    def __int__(self):
        return "3"


class FloatReturnsSub:
    def __float__(self):
        return FloatSub(2.5)


class BadHash:
    __hash__ = _boom


class BadEq:
    __eq__ = _boom
    __hash__ = object.__hash__


class BadStr:
    __str__ = _boom
    __repr__ = _boom
    __format__ = _boom


class WrongStr:
    def __str__(self):
        return 12

    def __format__(self, spec):
        return 12


class BadBool:
    __bool__ = _boom


class BadLen:
    __len__ = _boom


class BadFsPath:
    __fspath__ = _boom


class WrongFsPath:
    def __fspath__(self):
        return 3


class BadDict(dict):
    """A dict subclass whose every read raises."""
    __getitem__ = _boom
    __contains__ = _boom
    get = _boom
    items = _boom


class BadIterList(list):
    __iter__ = _boom


HOSTILE = [BadFloat, WrongFloat, BadIndex, WrongIndex, BadInt, WrongInt, FloatReturnsSub, BadHash, BadEq,
           BadStr, WrongStr, BadBool, BadLen, BadFsPath, WrongFsPath]

STRINGS = ["", "a", "0", "1.5", "nan", "inf", "linear", "MLP", "regression", "classification", "\udcff",
           "\x00", "ä✓日本", "../x", "a,b\n1,2\n", "x" * 300, "\n", " ", "DATA_PARAM", "input_col"]


class Values:
    """The value pool of one input; `paths` are files and directories of the worker's scratch area."""

    def __init__(self, rng, paths):
        self.rng = rng
        self.paths = paths

    def choice(self, seq):
        return seq[self.rng.randrange(len(seq))]

    def number(self):
        r = self.rng
        return self.choice([
            lambda: r.randint(-10, 10), lambda: r.choice([10**400, -10**400, 2**63, -2**63 - 1, 2**1024]),
            lambda: r.uniform(-1e6, 1e6), lambda: r.choice([math.nan, math.inf, -math.inf, -0.0, 0.0]),
            lambda: r.choice([1e308, -1e308, 5e-324, 3.4e38, 3.5e38, 1e-46]), lambda: r.choice([True, False]),
            lambda: FloatSub(r.uniform(-10, 10)), lambda: IntSub(r.randint(-5, 5)),
            lambda: decimal.Decimal(r.choice(["1.25", "NaN", "-Infinity", "1e400"])),
            lambda: fractions.Fraction(r.randint(-9, 9), r.randint(1, 9)), lambda: complex(1, 2),
            lambda: FloatSub(math.nan),
        ])()

    def string(self):
        r = self.rng
        s = self.choice(STRINGS)
        return self.choice([lambda: s, lambda: StrSub(s), lambda: "".join(r.choice("ab\udc80x,\n") for _ in
                                                                          range(r.randint(0, 12))),
                            lambda: StrSubBadStr(s), lambda: s.encode("utf-8", "surrogatepass")])()

    def path(self):
        p = self.choice(self.paths)
        return self.choice([lambda: p, lambda: str(p), lambda: StrSub(str(p)), lambda: pathlib.Path(str(p)),
                            lambda: str(p) + "\x00"])()

    def container(self, depth):
        r = self.rng
        kind = r.randrange(7)
        if kind == 0:
            return [self.value(depth + 1) for _ in range(r.randint(0, 3))]
        if kind == 1:
            return self.dict(depth + 1)
        if kind == 2:
            loop = {}
            loop[self.key()] = loop
            return loop
        if kind == 3:
            loop = []
            loop.append(loop)
            return loop
        if kind == 4:
            return tuple(self.value(depth + 1) for _ in range(r.randint(0, 3)))
        if kind == 5:
            return ListSub([r.randint(0, 3)])
        return self.choice([BadIterList([1]), DictSub(a=1), BadDict(DATA_PARAM={})])

    def key(self):
        return self.choice(["DATA_PARAM", "MODEL_PARAM", "TRAIN_PARAM", "PLOT", "OUTPUT", "input_col", "output_col",
                            "data_train", "k", 0, 1.5, None, StrSub("DATA_PARAM"), (1, 2)])

    def dict(self, depth=0):
        """A configuration-like dictionary: sections of settings, sometimes nested further or hostile."""
        r = self.rng
        out = {}
        for _ in range(r.randint(0, 4)):
            key = self.key()
            if r.random() < 0.1:
                key = self.choice([BadEqStr("DATA_PARAM"), WrongEqStr("k"), BadEq()])
            value = self.dict(depth + 1) if depth < 4 and r.random() < 0.5 else self.value(depth + 1)
            try:
                out[key] = value
            except Boom:
                pass
        return out

    def value(self, depth=0):
        r = self.rng
        pick = r.randrange(10 if depth < 3 else 7)
        if pick in (0, 1):
            return self.number()
        if pick in (2, 3):
            return self.string()
        if pick == 4:
            return self.choice([None, None, object(), int, print, b"", bytearray(b"x")])
        if pick == 5:
            return self.choice(HOSTILE)()
        if pick == 6:
            return self.path()
        return self.container(depth)


def keyword_name(rng, names):
    """A keyword name: a parameter's own, an equal one built at run time or a str subclass, or none of them."""
    name = rng.choice(names) if names else "x"
    return rng.choice([
        lambda: name, lambda: name, lambda: "".join(list(name)), lambda: StrSub(name), lambda: BadEqStr(name),
        lambda: WrongEqStr(name), lambda: rng.choice(["zz", "", "ä", "self", "a_"]), lambda: 7,
        lambda: None,
    ])()


def make_call(function, params, seed, index, paths):
    """(positional arguments, keyword names, keyword values) for one call of `function`.

    function: the function's name (part of the input's identity)
    params: its parameter names, in order
    seed, index: the input's identity within a fuzz run
    paths: scratch files and directories a path value may name
    """
    rng = random.Random(f"{function}/{seed}/{index}")
    values = Values(rng, paths)
    p = len(params)
    if rng.random() < 0.4:
        return well_formed(rng, values, params)
    npos = min(rng.choice([0, 0, 1, 2, p, p, p + 1, rng.randint(0, p + 2)]), p + 3)
    likely = [values.value() for _ in range(npos)]
    if function == "execute_fitrun" and rng.random() < 0.5:
        npos = 0  # mostly keywords: the training tool has 43 parameters
        likely = []
    names, kwvalues = [], []
    for _ in range(rng.choice([0, 0, 1, 2, 3, rng.randint(0, 8)])):
        names.append(keyword_name(rng, params))
        kwvalues.append(values.value())
    if names and rng.random() < 0.15:  # the same name twice
        i = rng.randrange(len(names))
        names.append(rng.choice([names[i], StrSub(names[i]) if isinstance(names[i], str) else names[i]]))
        kwvalues.append(values.value())
    return likely, tuple(names), kwvalues


def plausible(values, name):
    """A value of the kind that the parameter `name` takes, mostly well typed."""
    rng = values.rng
    if rng.random() < 0.2:
        return values.value()
    if name in ("a", "b"):
        return values.number()
    if name in ("base", "updates", "user_config"):
        if rng.random() < 0.1:  # a section that contains itself
            loop = {}
            loop[values.choice(["DATA_PARAM", "k"])] = loop
            return loop
        return values.dict()
    if name == "file_path":
        return values.choice([None, None, str(values.path()), values.string()])
    if name == "csv_content":
        return values.choice([None, None, "a,b\n1,2\n", "x\n" * rng.randint(0, 5), values.string(), ""])
    if name == "log_path":
        return values.path()
    if name in ("exc_type", "exc_val", "exc_tb"):
        return values.choice([None, None, ValueError, ValueError("x"), values.value()])
    return values.value()


def well_formed(rng, values, params):
    """A call that names each parameter once: the first ones by position, the rest by keyword."""
    npos = rng.randint(0, len(params))
    args = [plausible(values, name) for name in params[:npos]]
    names = tuple(rng.choice([name, name, StrSub(name), "".join(list(name))]) for name in params[npos:])
    return args, names, [plausible(values, name) for name in params[npos:]]


def fitrun_arguments(rng, values):
    """Keyword arguments for a training call that binds: well-typed values, sometimes one hostile value."""
    kw = {"input_col": [0, 1], "output_col": [2], "data_train": "train.csv"}
    pool = {
        "interp_method": lambda: values.choice(STRINGS), "nmode": values.number, "nseg": values.number,
        "alpha_dil": values.number, "learning_rate": values.number, "split_ratio": lambda: [0.7, 0.2, 0.1],
        "bool_plot": lambda: rng.choice([True, False]), "bool_save_model": lambda: rng.choice([True, False]),
        "data_val": lambda: values.choice(STRINGS), "data_test": lambda: values.choice(STRINGS),
        "run_type": lambda: values.choice(STRINGS), "gpu_idx": values.number,
        "plot_in_axis": lambda: [values.value()],
    }
    for name in rng.sample(sorted(pool), rng.randint(0, 5)):
        kw[name] = pool[name]()
    for name in rng.sample(sorted(kw), rng.randint(0, 1)):
        kw[name] = values.value()
    return kw


# ---------------------------------------------------------------------------
# Inputs at the edges: recursion that stays in C. Drawn from a random stream of
# their own (see `edge_call`), so that adding them rebuilt no other input.

EDGE_SHARE = 0.01  # of the inputs of every function
NUMERIC = {"nmode": "__index__", "nseg": "__int__", "gpu_idx": "__index__", "alpha_dil": "__float__",
           "learning_rate": "__float__"}


def edge_call(function, fn, params, rng):
    """A call that leads back into `fn` through C code only, or (deep merge) nests very deep.

    Returns (callable, positional arguments, keyword names, keyword values, recursion limit or None), or
    None for a function without parameters. An argument's conversion (__float__, __index__, __int__) or a
    keyword name's comparison (__eq__) is a functools.partial of `fn` with the same arguments, so no Python
    frame lies between one call and the next and only the function itself can bound the recursion;
    `_deep_update` also gets dictionaries nested thousands deep under a high recursion limit. Either must
    end in RecursionError (or, for a nesting that fits, a result), never in a crash.
    """
    import functools

    if not params:
        return None
    kind = rng.randrange(3)
    if function == "_deep_update" and kind == 0:
        depth = rng.choice([900, 5000, 20000, 60000])
        a, b = {}, {}
        for _ in range(depth):
            a, b = {"k": a}, {"k": b}
        return fn, [a], ("updates",), [b], 10**6
    cls = type("Reentrant", (), {})
    if params == ["a", "b"] and kind < 2:
        x = cls()
        args = rng.choice([[x, 1.5], [1.5, x], [x, x]])
        names = rng.choice([(), ("b",)])
        npos = 2 - len(names)
        setattr(cls, rng.choice(["__float__", "__index__"]),
                functools.partial(fn, *args[:npos], **dict(zip(names, args[npos:]))))
        return fn, args, names, [], None
    if function == "execute_fitrun" and kind < 2:
        x = cls()
        name = rng.choice(sorted(NUMERIC))
        kw = {"input_col": [0], "output_col": [1], "data_train": "train.csv", name: x}
        setattr(cls, NUMERIC[name], functools.partial(fn, **kw))
        return fn, [], tuple(kw), list(kw.values()), None
    # a keyword name whose comparison with the parameter names calls the function again
    i = rng.randrange(len(params))
    key_type = type("ReentrantName", (str,), {})
    key = key_type(params[i])
    args = [None] * i
    setattr(key_type, "__eq__", functools.partial(fn, *args, **{key: None}))
    return fn, args, (key,), [None], None
