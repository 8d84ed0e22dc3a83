"""The three JAX arithmetic tools: values, refusals, docstrings, traceback entries."""
import decimal
import fractions

import pytest

import quelmar.tools.minusor as minusor
import quelmar.tools.plusor as plusor
import quelmar.tools.timesor as timesor

INF = float("inf")
NAN = float("nan")

add, mul, sub = plusor.execute_plusor, timesor.execute_timesor, minusor.execute_minusor
SHIFT = {add: 0, mul: 6, sub: 6}


class MyFloat(float):
    pass


class MyInt(int):
    pass


@pytest.mark.parametrize(
    "fn, a, b, expected",
    [
        (add, 10.5, 3.2, 13.699999809265137),
        (mul, 10.5, 3.2, 33.60000228881836),
        (sub, 10.5, 3.2, 7.300000190734863),
        (add, 0.1, 0.2, 0.30000001192092896),
        (add, 5, 10, 15.0),
        (mul, 5, 10, 50.0),
        (sub, 5, 10, -5.0),
        (add, True, 2, 3.0),
        (add, decimal.Decimal("1.5"), 1, 2.5),
        (mul, fractions.Fraction(1, 4), 2, 0.5),
        (sub, MyFloat(2.5), MyInt(1), 1.5),
        (add, 3e38, 0, 3.0000000054977558e38),
    ],
)
def test_single_precision_results(fn, a, b, expected):
    result = fn(a, b)
    assert type(result) is float
    assert result == expected


def test_operands_bind_by_name():
    assert sub(b=10, a=5) == -5.0
    assert sub(5, b=10) == -5.0


from helpers import last_entry as _last_entry


@pytest.mark.parametrize(
    "fn, a, b, message, line",
    [
        (add, NAN, 1.0, "Result is NaN (Not a Number)", 44),
        (add, INF, -INF, "Result is NaN (Not a Number)", 44),
        (sub, INF, INF, "Result is NaN (Not a Number)", 44),
        (mul, INF, 0, "Result is NaN (Not a Number)", 44),
        (add, INF, 1, "Result is infinite", 46),
        (add, 3e38, 3e38, "Result is infinite", 46),
        (mul, 1e20, 1e20, "Result is infinite", 46),
        (add, 1e39, 0, "Result is infinite", 46),
    ],
)
def test_refused_results_carry_the_tool_entry(fn, a, b, message, line):
    with pytest.raises(ValueError) as info:
        fn(a, b)
    assert str(info.value) == message
    name = fn.__module__.rsplit(".", 1)[1]
    assert _last_entry(info.value) == (
        f"quelmar/tools/{name}.py", f"{fn.__module__}.{fn.__name__}", line + SHIFT[fn])


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (("1", 2), TypeError, "must be real number, not str"),
        ((1, None), TypeError, "must be real number, not NoneType"),
        (("x", None), TypeError, "must be real number, not str"),
        (([1], 2), TypeError, "must be real number, not list"),
        ((10**400, 1), OverflowError, "int too large to convert to float"),
    ],
)
def test_operand_conversion_errors_at_binding(args, exc, text):
    with pytest.raises(exc, match=text) as info:
        add(*args)
    assert _last_entry(info.value) == ("quelmar/tools/plusor.py", "quelmar.tools.plusor.execute_plusor", 14)


def test_traceback_code_objects_are_cached_per_line():
    codes = set()
    for _ in range(3):
        try:
            add(NAN, 0)
        except ValueError as e:
            tb = e.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            codes.add(id(tb.tb_frame.f_code))
    assert len(codes) == 1


def test_a_global_removed_from_the_module_fails_at_its_step():
    saved = plusor.jnp
    del plusor.jnp
    try:
        with pytest.raises(NameError, match="name 'jnp' is not defined") as info:
            add(1, 2)
        assert _last_entry(info.value)[2] == 36
    finally:
        plusor.jnp = saved


COMMON = """
    {title}

    Args:
        a: First floating-point operand{a}
        b: Second floating-point operand{b}

    Returns:
        {what} of a and b as a Python float

    Raises:
        TypeError: If inputs are not numeric
        ValueError: If inputs are NaN or Inf
"""
EXAMPLES = """
    Examples:
        >>> {name}(10.5, 3.2)
        {first}
        >>> {name}(5, 10)
        {second}
"""


@pytest.mark.parametrize(
    "module, title, a, b, what, examples",
    [
        (plusor, "Perform addition using JAX.", "", "", "Sum", None),
        (timesor, "Perform multiplication using JAX (a * b).", "", "", "Product", ("33.6", "50.0")),
        (minusor, "Perform subtraction using JAX (a - b).", " (minuend)", " (subtrahend)", "Difference",
         ("7.3", "-5.0")),
    ],
)
def test_docstrings_and_doctest_entries(module, title, a, b, what, examples):
    fn_name = "execute_" + module.__name__.rsplit(".", 1)[1]
    doc = COMMON.format(title=title, a=a, b=b, what=what)
    if examples:
        doc += EXAMPLES.format(name=fn_name, first=examples[0], second=examples[1])
    doc += "    "
    fn = getattr(module, fn_name)
    assert fn.__doc__ == doc
    expected_test = {f"{fn_name} (line 14)": doc} if examples else {}
    assert module.__test__ == expected_test
