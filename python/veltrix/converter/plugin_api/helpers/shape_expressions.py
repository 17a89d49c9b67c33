"""Shape expressions of a saved PyTorch program, read by a grammar of our
own with bounds, never by evaluating them.

`torch.export.save` writes a symbolic size as SymPy's `srepr` text
(`Mul(Integer(32), Symbol('s53', positive=True, integer=True))`), and
loading hands that text to SymPy, which evaluates it as Python. Here the
text is parsed by this grammar only:

    expression := NAME "(" [argument ("," argument)*] ")" | constant | "-" constant
    argument   := expression | INTEGER | 'NAME' | 'DECIMAL' | NAME "=" (True | False | INTEGER)

with the functions SymPy's printer and PyTorch's own shape functions give,
symbol names of a letter prefix and a number, and bounds that keep every
value small: integers of at most 64 bits, exponents that are literal
integers or fractions of at most 64, a polynomial degree of at most 64 and
values (symbols standing for sizes below 2**63) of at most 8192 bits, at
most 2000 terms nested at most 64 deep. What passes is written back in one
canonical spelling, so that SymPy reads exactly what was checked.
"""

import re
from typing import Iterable, List, Optional, Set, Tuple, Union

MAX_TEXT = 100000
MAX_TERMS = 2000
MAX_DEPTH = 64
MAX_DEGREE = 64
MAX_BITS = 8192
MAX_EXPONENT = 64
SIZE_BITS = 64  # a symbol stands for a size or an index below 2**63

# SymPy's classes as its printer names them in shape expressions
SYMPY_FUNCTIONS = frozenset({
    "Add", "Mul", "Pow", "Max", "Min", "Abs", "floor", "ceiling", "Equality", "Unequality", "StrictLessThan",
    "LessThan", "StrictGreaterThan", "GreaterThan", "And", "Or", "Not", "Piecewise", "ExprCondPair"})
CONSTANTS = frozenset({"oo", "zoo", "nan", "true", "false"})
ASSUMPTIONS = frozenset({
    "algebraic", "antihermitian", "commutative", "complex", "composite", "even", "extended_negative",
    "extended_nonnegative", "extended_nonpositive", "extended_nonzero", "extended_positive", "extended_real",
    "finite", "hermitian", "imaginary", "infinite", "integer", "irrational", "negative", "noninteger",
    "nonnegative", "nonpositive", "nonzero", "odd", "polar", "positive", "prime", "rational", "real",
    "transcendental", "zero"})
SYMBOL_NAME = re.compile(r"[a-z]{1,4}_?[0-9]{1,6}\Z")

_TOKEN = re.compile(r"\s*(?:(?P<name>[A-Za-z_][A-Za-z0-9_]*)|(?P<int>-?[0-9]{1,20}(?![0-9]))|'(?P<text>[^'\\]*)'|(?P<op>[(),=-]))")
_DECIMAL = re.compile(r"-?[0-9]{1,40}(\.[0-9]{1,40})?(e[-+]?[0-9]{1,4})?\Z")


class ExpressionRefused(ValueError):
    """A shape expression outside the grammar or its bounds; the text says
    what."""


class _Term:
    """A parsed term: its canonical text, polynomial degree and value bits."""

    __slots__ = ("text", "degree", "bits", "integer")

    def __init__(self, text: str, degree: int, bits: int, integer: Optional[Tuple[int, int]] = None) -> None:
        self.text, self.degree, self.bits, self.integer = text, degree, bits, integer


Argument = Union[_Term, int, str, Tuple[str, object]]


class _Parser:
    def __init__(self, text: str, functions: Set[str]) -> None:
        self.tokens: List[Tuple[str, str]] = []
        at = 0
        while at < len(text):
            match = _TOKEN.match(text, at)
            if match is None or match.end() == at:
                if text[at:].strip() == "":
                    break
                raise ExpressionRefused("%r is not part of a shape expression" % text[at:at + 20])
            kind = match.lastgroup or ""
            self.tokens.append((kind, match.group(kind)))
            at = match.end()
        self.at, self.terms, self.functions = 0, 0, functions

    def peek(self) -> Tuple[str, str]:
        return self.tokens[self.at] if self.at < len(self.tokens) else ("end", "")

    def take(self, kind: str, value: Optional[str] = None) -> str:
        got = self.peek()
        if got[0] != kind or (value is not None and got[1] != value):
            raise ExpressionRefused("expected %s, found %r" % (value or kind, got[1] or "the end"))
        self.at += 1
        return got[1]

    def expression(self, depth: int) -> _Term:
        if depth > MAX_DEPTH:
            raise ExpressionRefused("it is nested more than %d deep" % MAX_DEPTH)
        self.terms += 1
        if self.terms > MAX_TERMS:
            raise ExpressionRefused("it has more than %d terms" % MAX_TERMS)
        if self.peek() == ("op", "-"):
            self.take("op", "-")
            name = self.take("name")
            if name != "oo":
                raise ExpressionRefused("only -oo is negated in a shape expression")
            return _Term("-oo", 0, 1)
        name = self.take("name")
        if name in CONSTANTS and self.peek() != ("op", "("):
            return _Term(name, 0, 1)
        if name not in self.functions:
            raise ExpressionRefused("%s is not a function shape expressions use" % name[:40])
        self.take("op", "(")
        arguments: List[Argument] = []
        while self.peek() != ("op", ")"):
            if arguments:
                self.take("op", ",")
            arguments.append(self.argument(depth))
        self.take("op", ")")
        return _term(name, arguments)

    def argument(self, depth: int) -> Argument:
        kind, value = self.peek()
        if kind == "int":
            self.at += 1
            number = int(value)
            if not -2 ** 63 <= number < 2 ** 63:
                raise ExpressionRefused("the integer %s is beyond 64 bits" % value[:30])
            return number
        if kind == "text":
            self.at += 1
            return value
        if kind == "name" and self.at + 1 < len(self.tokens) and self.tokens[self.at + 1] == ("op", "="):
            self.at += 2
            flag = self.peek()
            if flag in (("name", "True"), ("name", "False")) or flag[0] == "int":
                self.at += 1
                return (value, flag[1])
            raise ExpressionRefused("the keyword %s takes True, False or a number" % value[:40])
        return self.expression(depth + 1)


def _literal(arguments: List[Argument], count: int, name: str) -> List[int]:
    if len(arguments) != count or not all(type(a) is int for a in arguments):
        raise ExpressionRefused("%s takes %d integer%s" % (name, count, "" if count == 1 else "s"))
    return [int(a) for a in arguments]  # type: ignore[arg-type]


def _terms(arguments: Iterable[Argument], name: str) -> List[_Term]:
    terms = list(arguments)
    if not terms or not all(isinstance(a, _Term) for a in terms):
        raise ExpressionRefused("%s takes expressions" % name)
    return terms  # type: ignore[return-value]


def _term(name: str, arguments: List[Argument]) -> _Term:
    if name == "Integer":
        (value,) = _literal(arguments, 1, name)
        return _Term("Integer(%d)" % value, 0, value.bit_length(), (value, 1))
    if name == "Rational":
        numerator, denominator = _literal(arguments, 2, name)
        if denominator == 0:
            raise ExpressionRefused("Rational has a zero denominator")
        return _Term("Rational(%d, %d)" % (numerator, denominator), 0,
                     max(numerator.bit_length(), denominator.bit_length()), (numerator, denominator))
    if name == "Float":
        if len(arguments) not in (1, 2) or not isinstance(arguments[0], str) or not _DECIMAL.match(arguments[0]):
            raise ExpressionRefused("Float takes a decimal number")
        text = "Float('%s'" % arguments[0]
        if len(arguments) == 2:
            keyword = arguments[1]
            if not (isinstance(keyword, tuple) and keyword[0] == "precision" and str(keyword[1]).isdigit()
                    and int(str(keyword[1])) <= 1024):
                raise ExpressionRefused("Float takes a precision of at most 1024 bits")
            text += ", precision=%s" % keyword[1]
        return _Term(text + ")", 0, SIZE_BITS)
    if name == "Symbol":
        if not arguments or not isinstance(arguments[0], str) or not SYMBOL_NAME.match(arguments[0]):
            raise ExpressionRefused("a symbol is named by letters and a number, not %r" % str(arguments[0])[:40]
                                    if arguments else "Symbol takes a name")
        flags = []
        for keyword in arguments[1:]:
            if not (isinstance(keyword, tuple) and keyword[0] in ASSUMPTIONS and keyword[1] in ("True", "False")):
                raise ExpressionRefused("a symbol takes assumptions (positive=True), not %r" % (keyword,))
            flags.append("%s=%s" % keyword)
        return _Term("Symbol(%s)" % ", ".join(["'%s'" % arguments[0]] + flags), 1, 0)
    terms = _terms(arguments, name)
    text = "%s(%s)" % (name, ", ".join(t.text for t in terms))
    if name == "Pow":
        if len(terms) != 2 or terms[1].integer is None:
            raise ExpressionRefused("an exponent is a literal integer or fraction")
        numerator, denominator = terms[1].integer
        if abs(numerator) > MAX_EXPONENT or abs(denominator) > MAX_EXPONENT:
            raise ExpressionRefused("the exponent %d/%d is beyond %d" % (numerator, denominator, MAX_EXPONENT))
        return _bounded(text, terms[0].degree * abs(numerator), terms[0].bits * abs(numerator))
    if name in ("Add", "Max", "Min", "And", "Or", "Piecewise", "ExprCondPair") or name in _RELATIONS:
        return _bounded(text, max(t.degree for t in terms), max(t.bits for t in terms) + len(terms).bit_length())
    return _bounded(text, sum(t.degree for t in terms), sum(t.bits for t in terms))


_RELATIONS = {"Equality", "Unequality", "StrictLessThan", "LessThan", "StrictGreaterThan", "GreaterThan"}


def _bounded(text: str, degree: int, bits: int) -> _Term:
    if degree > MAX_DEGREE:
        raise ExpressionRefused("its degree is beyond %d" % MAX_DEGREE)
    if bits + SIZE_BITS * degree > MAX_BITS:
        raise ExpressionRefused("its values could have more than %d bits" % MAX_BITS)
    return _Term(text, degree, bits)


def canonical_expression(text: object, functions: Iterable[str]) -> str:
    """`text`, a shape expression, in canonical spelling when it is within
    the grammar and its bounds (see the module's text), else
    ExpressionRefused saying why. `functions` are the shape functions
    beyond SymPy's own (PyTorch's, such as FloorDiv)."""
    if not isinstance(text, str):
        raise ExpressionRefused("a shape expression is text, not %s" % type(text).__name__)
    if len(text) > MAX_TEXT:
        raise ExpressionRefused("it is longer than %d characters" % MAX_TEXT)
    parser = _Parser(text, set(SYMPY_FUNCTIONS) | set(functions) | {"Integer", "Rational", "Float", "Symbol"})
    term = parser.expression(0)
    if parser.peek()[0] != "end":
        raise ExpressionRefused("%r follows the expression" % parser.peek()[1])
    return term.text
