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
integers or fractions of at most 64 (whole numbers on symbolic sizes), a
polynomial degree of at most 32 and values (symbols standing for sizes
below 2**63) of at most 8192 bits, at most 2000 terms nested at most 64
deep.

SymPy also works on what it reads, and some of that work grows much faster
than the text: PyTorch's divisions and remainders (FloorDiv, CleanDiv,
CeilDiv, ModularIndexing, PythonMod, Mod) look for common factors of their
arguments by multiplying them out, signs of polynomials are looked for
through their powers, and Max and Min compare their arguments pairwise. So
the bounds below also hold what real programs need of those (measured on
the programs torch.export writes for convolutional networks with dynamic
heights and widths, BERT, GPT-2, ViT, Swin, SegFormer, T5, Llama and
wav2vec2, with a margin over their largest) and no more:

- as a polynomial in its symbols and function applications, a term has at
  most MAX_DENSE terms, counted densely (the product of one plus its degree
  in each), and a degree of at most MAX_POWER in any one of them;
- an argument of a division or remainder multiplies out to at most
  MAX_DIVIDED terms (MAX_DIVIDED_DENSE densely), and the distinct divisions
  and remainders of one expression take at most MAX_DIVIDED_TOTAL such
  terms in all;
- Max and Min take at most MAX_CHOICES arguments, nest at most
  MAX_CHOICE_NESTING deep and compare at most MAX_COMPARISONS pairs in all;
  the other functions take at most MAX_ARGUMENTS (but the indicator of
  dense strides, which takes the sizes and strides of up to MAX_RANK
  dimensions).

Within them the costliest expression found takes SymPy under a second to
read (the largest real ones, of a three-stage Swin, about 0.2 s), against
minutes and gigabytes without them. What passes is written back in one
canonical spelling, so that SymPy reads exactly what was checked.
"""

import re
from typing import Dict, Iterable, List, Optional, Set, Tuple, Union

MAX_TEXT = 100000
MAX_TERMS = 2000
MAX_DEPTH = 64
MAX_DEGREE = 32
MAX_BITS = 8192
MAX_EXPONENT = 64
MAX_POWER = 3           # real programs: 2 (an area), 3 for a volume of equal sides
MAX_DENSE = 256         # real programs: 32 (a product of five sizes)
MAX_DIVIDED = 4         # real programs: 3 (2*s69 + s94 + 2)
MAX_DIVIDED_DENSE = 16  # real programs: 8
MAX_DIVIDED_TOTAL = 128  # real programs: 58 (22 distinct divisions in a three-stage Swin's sizes)
MAX_CHOICES = 4         # real programs: 3 (a slice clamped to three sizes)
MAX_CHOICE_NESTING = 4  # real programs: 2
MAX_COMPARISONS = 32    # real programs: 12
MAX_ARGUMENTS = 3       # the most any other function of fixed arity takes (ModularIndexing, Where)
MAX_RANK = 8
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
    """A parsed term: its canonical text, polynomial degree, value bits, the
    degree in each of its generators (symbols and function applications, by
    text) and the nesting of Max and Min in it."""

    __slots__ = ("text", "degree", "bits", "generators", "monomials", "choices", "comparisons", "integer")

    def __init__(self, text: str, degree: int, bits: int, generators: Optional[Dict[str, int]] = None,
                 monomials: int = 1, work: Tuple[int, int] = (0, 0),
                 integer: Optional[Tuple[int, int]] = None) -> None:
        self.text, self.degree, self.bits, self.integer = text, degree, bits, integer
        self.generators, self.monomials = generators or {}, monomials
        self.choices, self.comparisons = work


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
        self.divisions: Dict[str, int] = {}  # the distinct divisions and remainders, by the terms they take
        self.divided = 0

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
        term = _term(name, arguments)
        if name in _DIVISIONS and term.text not in self.divisions:
            self.divisions[term.text] = sum(a.monomials for a in arguments if isinstance(a, _Term))
            self.divided += self.divisions[term.text]
            if self.divided > MAX_DIVIDED_TOTAL:
                raise ExpressionRefused("its divisions and remainders take more than %d terms in all"
                                        % MAX_DIVIDED_TOTAL)
        return term

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
        return _Term("Integer(%d)" % value, 0, value.bit_length(), integer=(value, 1))
    if name == "Rational":
        numerator, denominator = _literal(arguments, 2, name)
        if denominator == 0:
            raise ExpressionRefused("Rational has a zero denominator")
        return _Term("Rational(%d, %d)" % (numerator, denominator), 0,
                     max(numerator.bit_length(), denominator.bit_length()), integer=(numerator, denominator))
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
        text = "Symbol(%s)" % ", ".join(["'%s'" % arguments[0]] + flags)
        return _Term(text, 1, 0, {text: 1})
    terms = _terms(arguments, name)
    if name not in ("Add", "Mul") and len(terms) > _ARGUMENTS.get(name, MAX_ARGUMENTS):
        raise ExpressionRefused("%s takes at most %d arguments here" % (name, _ARGUMENTS.get(name, MAX_ARGUMENTS)))
    text = "%s(%s)" % (name, ", ".join(t.text for t in terms))
    nesting = max(t.choices for t in terms) + (name in ("Max", "Min"))
    comparisons = sum(t.comparisons for t in terms) + (len(terms) * (len(terms) - 1) // 2
                                                       if name in ("Max", "Min") else 0)
    if nesting > MAX_CHOICE_NESTING:
        raise ExpressionRefused("it nests Max and Min more than %d deep" % MAX_CHOICE_NESTING)
    if comparisons > MAX_COMPARISONS:
        raise ExpressionRefused("its Max and Min compare more than %d pairs" % MAX_COMPARISONS)
    if name in _DIVISIONS and any(t.monomials > MAX_DIVIDED or _dense(t.generators) > MAX_DIVIDED_DENSE
                                  for t in terms):
        raise ExpressionRefused("the arguments of %s could have more than %d terms multiplied out" % (
            name, MAX_DIVIDED))
    choices = (nesting, comparisons)
    if name == "Pow":
        if len(terms) != 2 or terms[1].integer is None:
            raise ExpressionRefused("an exponent is a literal integer or fraction")
        numerator, denominator = terms[1].integer
        if abs(numerator) > MAX_EXPONENT or abs(denominator) > MAX_EXPONENT:
            raise ExpressionRefused("the exponent %d/%d is beyond %d" % (numerator, denominator, MAX_EXPONENT))
        if terms[0].integer is None and (numerator < 0 or denominator != 1):
            raise ExpressionRefused("a power of a symbolic size is a whole number, not %d/%d" % (
                numerator, denominator))
        return _bounded(text, terms[0].degree * abs(numerator), terms[0].bits * abs(numerator),
                        {g: d * numerator for g, d in terms[0].generators.items()}, choices,
                        _multinomials(terms[0].monomials, numerator if terms[0].integer is None else 0))
    if name in ("Add", "Mul"):
        generators: Dict[str, int] = {}
        for t in terms:
            for g, d in t.generators.items():
                generators[g] = max(generators.get(g, 0), d) if name == "Add" else generators.get(g, 0) + d
        if name == "Add":
            return _bounded(text, max(t.degree for t in terms), max(t.bits for t in terms) + len(terms).bit_length(),
                            generators, choices, min(sum(t.monomials for t in terms), MAX_DENSE + 1))
        monomials = 1
        for t in terms:
            monomials = min(monomials * t.monomials, MAX_DENSE + 1)
        return _bounded(text, sum(t.degree for t in terms), sum(t.bits for t in terms), generators, choices,
                        monomials)
    if name in _CHOICES or name in _RELATIONS:
        return _bounded(text, max(t.degree for t in terms), max(t.bits for t in terms) + len(terms).bit_length(),
                        {text: 1}, choices)
    return _bounded(text, sum(t.degree for t in terms), sum(t.bits for t in terms), {text: 1}, choices)


_RELATIONS = {"Equality", "Unequality", "StrictLessThan", "LessThan", "StrictGreaterThan", "GreaterThan"}
# PyTorch's divisions and remainders, which look for common factors of their arguments
_DIVISIONS = {"FloorDiv", "CleanDiv", "CeilDiv", "ModularIndexing", "PythonMod", "Mod"}
_CHOICES = {"Max", "Min", "And", "Or", "Piecewise", "ExprCondPair"}
# the functions taking any number of arguments, with the most each takes here
_ARGUMENTS = {"Max": MAX_CHOICES, "Min": MAX_CHOICES, "And": MAX_CHOICES, "Or": MAX_CHOICES,
              "Piecewise": MAX_CHOICES, "IsNonOverlappingAndDenseIndicator": 2 * MAX_RANK}


def _bounded(text: str, degree: int, bits: int, generators: Dict[str, int], choices: Tuple[int, int], monomials: int = 1) -> _Term:
    if degree > MAX_DEGREE:
        raise ExpressionRefused("its degree is beyond %d" % MAX_DEGREE)
    if bits + SIZE_BITS * degree > MAX_BITS:
        raise ExpressionRefused("its values could have more than %d bits" % MAX_BITS)
    if any(d > MAX_POWER for d in generators.values()):
        raise ExpressionRefused("its degree in one symbol or function is beyond %d" % MAX_POWER)
    if _dense(generators) > MAX_DENSE:
        raise ExpressionRefused("as a polynomial it could have more than %d terms" % MAX_DENSE)
    return _Term(text, degree, bits, generators, monomials, choices)


def _multinomials(monomials: int, power: int) -> int:
    """The terms of a sum of `monomials` terms raised to `power` multiplied
    out, at most (the ways to choose `power` of them with repetition),
    capped just beyond MAX_DENSE."""
    count = 1
    for k in range(1, power + 1):
        count = min(count * (monomials - 1 + k) // k, MAX_DENSE + 1)
    return count


def _dense(generators: Dict[str, int]) -> int:
    """The terms a polynomial of these degrees in its generators has at
    most (capped just beyond MAX_DENSE)."""
    dense = 1
    for d in generators.values():
        dense = min(dense * (d + 1), MAX_DENSE + 1)
    return dense


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
