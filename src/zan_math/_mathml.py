"""Formulas as presentation MathML, which browsers and Jupyter render natively: a page that
shows them needs no script and no network, unlike TeX that waits for a typesetter.

The markup is printed by SymPy from :meth:`Formula.sympy`, then rebuilt element by element
from a fixed list of MathML elements and attributes, its text escaped: SymPy writes some
characters as HTML entities (``&InvisibleTimes;``) and leaves ``<`` unescaped in text, and
what is written into a page is decided here rather than by the printer. Without SymPy, or for
anything the list does not hold, there is no MathML and the caller shows the formula's text.
"""

from __future__ import annotations

import html
import re
import unicodedata
from typing import Any

from ._display import _text
from ._export import _GREEK, identifiers, latex_names, sympy_names

MATHML_NAMESPACE = "http://www.w3.org/1998/Math/MathML"
# Constants are shown to as many significant digits as the formula's text gives them.
SHOWN_DIGITS = 10

# Presentation elements of MathML Core that SymPy's printer writes (or might).
_ELEMENTS = frozenset(
    "mrow mi mn mo ms mtext mspace msub msup msubsup mfrac msqrt mroot mover munder munderover "
    "mtable mtr mtd mstyle mpadded mphantom merror".split()
)
# Attributes that only change how the markup looks, each with a value of this plain form.
_ATTRIBUTES = frozenset(
    "mathvariant stretchy fence separator form lspace rspace linethickness accent accentunder "
    "displaystyle scriptlevel columnalign".split()
)
_PLAIN_VALUE = re.compile(r"[\w .%+-]*\Z")


class _Refused(Exception):
    """The printer wrote something outside the lists: no MathML is better than a guess."""


def formula_mathml(formula, *, display: str = "inline", target: str | None = None) -> str | None:
    """The formula as a ``<math>`` element (``target = formula`` given a target's name, which
    may be any text), or None without SymPy or when it cannot be made."""
    try:
        import sympy as sp

        expr = formula.sympy()
        expr = expr.xreplace({f: sp.Float(f, SHOWN_DIGITS) for f in expr.atoms(sp.Float)})
        printer = _printer(formula.names)
        body = _rebuilt(printer._print(expr))
    except Exception:  # a view shows the text when the markup cannot be made, whatever the cause
        return None
    if target is not None:
        body = f"<mrow><mtext>{_text(target)}</mtext><mo>=</mo>{body}</mrow>"
    mode = "block" if display == "block" else "inline"
    return f'<math xmlns="{MATHML_NAMESPACE}" display="{mode}">{body}</math>'


def _printer(names) -> Any:
    from sympy.printing.mathml import MathMLPresentationPrinter

    shown = identifiers(names)
    # The LaTeX names decide which identifiers would look alike once split: those stay whole.
    whole = {ident for ident, tex in zip(shown, latex_names(shown)) if tex.startswith("\\mathrm{")}
    looks = {symbol: _name_parts(ident, ident in whole) for symbol, ident in zip(sympy_names(names), shown)}

    class Printer(MathMLPresentationPrinter):
        """Variables as the LaTeX view shows them (``mass_kg`` as mass with the subscript kg,
        ``lambda_`` as λ), not by SymPy's own rules (``x2`` as x with the subscript 2)."""

        def _print_Symbol(self, sym, style="plain"):
            head, subscripts = looks[sym.name]
            name = self._element("mi", head)
            if not subscripts:
                return name
            below = self.dom.createElement("mrow")
            for part in subscripts:
                below.appendChild(self._element("mi", part))
            pair = self.dom.createElement("msub")
            pair.appendChild(name)
            pair.appendChild(below)
            return pair

        def _element(self, tag, text):
            element = self.dom.createElement(tag)
            element.appendChild(self.dom.createTextNode(text))
            return element

    # fold_frac_powers: a^(3/2) with a slash, which reads better than a fraction in a superscript
    return Printer({"ln_notation": True, "fold_frac_powers": True})


def _name_parts(ident: str, whole: bool) -> tuple[str, list[str]]:
    """A variable's name and subscripts, by the rules of the LaTeX names."""
    if whole:
        return ident, []
    stripped = ident[:-1] if ident.endswith("_") and len(ident) > 1 else ident
    head, _, tail = stripped.partition("_")
    return _letter(head), [_letter(p) for p in tail.split("_") if p]


def _letter(name: str) -> str:
    if name not in _GREEK:
        return name
    case = "CAPITAL" if name[0].isupper() else "SMALL"
    return unicodedata.lookup(f"GREEK {case} LETTER {name.upper().replace('LAMBDA', 'LAMDA')}")


def _rebuilt(node) -> str:
    """The markup of a DOM node from SymPy's printer, from the lists only, its text escaped."""
    if node.nodeType == node.TEXT_NODE:
        return _escaped(node.data)
    if node.nodeType != node.ELEMENT_NODE or node.tagName not in _ELEMENTS:
        raise _Refused(getattr(node, "tagName", node.nodeType))
    if node.tagName == "mfrac" and node.getAttribute("bevelled") == "true":
        # MathML Core has no bevelled fractions: the slash is written out
        over, under = (_rebuilt(child) for child in node.childNodes)
        return f'<mrow>{over}<mo lspace="0" rspace="0">/</mo>{under}</mrow>'
    attributes = []
    for key, value in node.attributes.items():
        value = html.unescape(value)
        if key not in _ATTRIBUTES or not _PLAIN_VALUE.match(value):
            raise _Refused(key)
        attributes.append(f' {key}="{_escaped(value)}"')
    inner = "".join(_rebuilt(child) for child in node.childNodes)
    if node.tagName == "mo" and inner == "-":
        inner = "\u2212"  # a minus sign, not the shorter hyphen some fonts draw for '-'
    elif node.tagName == "mi" and inner == "\u2147":
        inner = "e"  # as the LaTeX view writes it: fonts draw the double-struck ⅇ oddly, if at all
    return f"<{node.tagName}{''.join(attributes)}>{inner}</{node.tagName}>"


def _escaped(text: str) -> str:
    # SymPy's text may hold entities of its own (&InvisibleTimes;, &#xB7;): they are read as the
    # characters they stand for, and every character is then escaped as it should be.
    return _text(html.unescape(text))
