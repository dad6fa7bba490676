#!/usr/bin/env python3
"""Compares the event reference (docs/events.md) with the events that the sources emit.

The sources build every event line as a JSON object literal, `Json{{"event", NAME}, ...}`, or
set members one by one (`ev["event"] = NAME`); error and warning events carry `{"code", CODE}`
beside their `{"event", "error"}`. This script reads every C++ file under src/ as tokens (comments,
preprocessor lines and the insides of string literals cannot fool it) and works out the texts
that NAME and CODE can take:

- a string literal, or either branch of `cond ? "a" : "b"`;
- a parameter of the function or lambda that builds the object: then the argument at that place
  in every call of that function, followed through further helpers;
- any other name: the values assigned to it in the enclosing function, else in the file.

Anything else (a table lookup, a member, a computed text) is reported as a place the script
cannot read, and the check fails there: a name is never skipped quietly. Exit status 0 when
the reference lists exactly the names and codes that the sources emit, with each code's kind
(error or warning); 1 otherwise, with one line per difference.

    event_reference.py [--root DIR]          check
    event_reference.py [--root DIR] --list   print what the sources emit, with their places
"""

import argparse
import os
import re
import sys
from dataclasses import dataclass, field

REFERENCE = os.path.join("docs", "events.md")
SOURCE_DIR = "src"
EVENTS_HEADING = "## Events"
CODES_HEADING = "## Error and warning codes"
KINDS = ("error", "warning")


# ---------------------------------------------------------------------------------------------
# Tokens

@dataclass(frozen=True)
class Token:
    kind: str  # "id", "str", "num", "chr", "op"
    text: str  # the identifier, the literal's decoded value, or the operator
    line: int


_STRING_PREFIXES = ("u8R", "uR", "UR", "LR", "R", "u8", "u", "U", "L")
_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|[0-9A-Za-z_.']|)*")
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'"}


class SourceError(Exception):
    pass


def tokenize(text):
    """C++ tokens of `text`, without comments and preprocessor lines; adjacent string literals
    are joined into one, as the compiler joins them."""
    tokens = []
    i, n, line = 0, len(text), 1
    line_start = True  # only white space since the last line break
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
            line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "\\" and text.startswith("\n", i + 1):
            i += 1
            continue
        if text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                raise SourceError(f"line {line}: unterminated comment")
            line += text.count("\n", i, end)
            i = end + 2
            continue
        if c == "#" and line_start:
            while i < n and text[i] != "\n":
                if text[i] == "\\" and text.startswith("\n", i + 1):
                    line += 1
                    i += 1
                i += 1
            continue
        line_start = False
        m = _IDENT.match(text, i)
        if m:
            word = m.group()
            end = m.end()
            if word in _STRING_PREFIXES and end < n and text[end] == '"':
                value, i, lines = _string_literal(text, end, raw=word.endswith("R"), line=line)
                tokens.append(Token("str", value, line))
                line += lines
                continue
            if word in _STRING_PREFIXES and end < n and text[end] == "'":
                i = _char_literal(text, end, line)
                tokens.append(Token("chr", "", line))
                continue
            tokens.append(Token("id", word, line))
            i = end
            continue
        if c == '"':
            value, i, lines = _string_literal(text, i, raw=False, line=line)
            tokens.append(Token("str", value, line))
            line += lines
            continue
        if c == "'":
            i = _char_literal(text, i, line)
            tokens.append(Token("chr", "", line))
            continue
        m = _NUMBER.match(text, i)
        if m:
            tokens.append(Token("num", m.group(), line))
            i = m.end()
            continue
        for op in ("::", "->", "&&", "||", "=="):
            if text.startswith(op, i):
                tokens.append(Token("op", op, line))
                i += len(op)
                break
        else:
            tokens.append(Token("op", c, line))
            i += 1
    return _join_strings(tokens)


def _string_literal(text, i, raw, line):
    """The value of the literal whose opening quote is at `i`, the index after it, and the
    line breaks inside it."""
    if raw:
        open_paren = text.find("(", i + 1)
        if open_paren < 0:
            raise SourceError(f"line {line}: malformed raw string")
        delimiter = text[i + 1:open_paren]
        close = text.find(")" + delimiter + '"', open_paren + 1)
        if close < 0:
            raise SourceError(f"line {line}: unterminated raw string")
        value = text[open_paren + 1:close]
        return value, close + len(delimiter) + 2, value.count("\n")
    out = []
    j = i + 1
    while True:
        if j >= len(text) or text[j] == "\n":
            raise SourceError(f"line {line}: unterminated string literal")
        c = text[j]
        if c == '"':
            return "".join(out), j + 1, 0
        if c == "\\":
            nxt = text[j + 1] if j + 1 < len(text) else ""
            out.append(_ESCAPES.get(nxt, nxt))
            j += 2
            continue
        out.append(c)
        j += 1


def _char_literal(text, i, line):
    j = i + 1
    while j < len(text) and text[j] != "'":
        if text[j] == "\n":
            raise SourceError(f"line {line}: unterminated character literal")
        j += 2 if text[j] == "\\" else 1
    return j + 1


def _join_strings(tokens):
    out = []
    for t in tokens:
        if t.kind == "str" and out and out[-1].kind == "str":
            out[-1] = Token("str", out[-1].text + t.text, out[-1].line)
        else:
            out.append(t)
    return out


# ---------------------------------------------------------------------------------------------
# Structure: matching brackets, functions and their parameters

_OPEN = {"(": ")", "[": "]", "{": "}"}
_CLOSE = {v: k for k, v in _OPEN.items()}
_NOT_FUNCTIONS = {"if", "for", "while", "switch", "catch", "return", "sizeof", "decltype",
                  "alignof", "alignas", "static_assert", "noexcept", "throw", "requires",
                  "co_return", "co_await", "defined"}
_QUALIFIERS = {"const", "noexcept", "override", "final", "mutable", "volatile", "&", "&&",
               "constexpr", "try"}
# Tokens after which a name followed by "(" is a call, not a declaration.
_CALL_CONTEXT = {"(", ",", "=", "{", "}", ";", "?", ":", "!", "&&", "||", "==", "[", "+",
                 "return", "co_return", "co_await", "throw", "else", "do", "case", ".", "->", "::"}


@dataclass
class Function:
    name: str           # "" for a lambda that is not given a name
    params: list        # parameter names, by position ("" where a parameter has none)
    header: int         # index of the name token (or of "]" for a lambda)
    body: tuple         # indices of "{" and its matching "}"


@dataclass
class SourceFile:
    path: str
    tokens: list
    match: dict = field(default_factory=dict)
    functions: list = field(default_factory=list)

    def where(self, index):
        return f"{self.path}:{self.tokens[index].line}"


def _matching(tokens):
    match, stack = {}, []
    for i, t in enumerate(tokens):
        if t.kind != "op":
            continue
        if t.text in _OPEN:
            stack.append(i)
        elif t.text in _CLOSE:
            while stack and tokens[stack[-1]].text != _CLOSE[t.text]:
                stack.pop()  # an unbalanced bracket (a macro, a template sign) is left alone
            if stack:
                j = stack.pop()
                match[j], match[i] = i, j
    return match


def _split_top(tokens, lo, hi, angle=False):
    """Index ranges of the comma-separated items of tokens[lo:hi]; with `angle`, commas
    inside <...> do not split (template arguments of a parameter's type)."""
    items, depth, angles, start = [], 0, 0, lo
    for i in range(lo, hi):
        t = tokens[i]
        if t.kind != "op":
            continue
        if t.text in _OPEN:
            depth += 1
        elif t.text in _CLOSE:
            depth -= 1
        elif angle and t.text == "<":
            angles += 1
        elif angle and t.text == ">" and angles > 0:
            angles -= 1
        elif t.text == "," and depth == 0 and angles == 0:
            items.append((start, i))
            start = i + 1
    if start < hi or items:
        items.append((start, hi))
    return items


def _param_names(tokens, lo, hi):
    names = []
    for a, b in _split_top(tokens, lo, hi, angle=True):
        end = b
        for i in range(a, b):
            if tokens[i].kind == "op" and tokens[i].text == "=":
                end = i
                break
        idents = [t.text for t in tokens[a:end] if t.kind == "id"]
        names.append(idents[-1] if len(idents) >= 2 else "")
    return names


def _function_at(src, brace):
    """The function or lambda whose body opens at `brace`, or None."""
    toks, match = src.tokens, src.match
    j = brace - 1
    # Trailing return type: "-> Type" right before the body.
    k = j
    while k >= 0 and not (toks[k].kind == "op" and toks[k].text in ("->", ")", ";", "{", "}")):
        k -= 1
    if k >= 0 and toks[k].text == "->":
        j = k - 1
    while j >= 0:
        t = toks[j]
        if t.kind == "id" and t.text in _QUALIFIERS or t.kind == "op" and t.text in ("&", "&&"):
            j -= 1
        elif t.text == ")" and j in match and toks[match[j] - 1].text == "noexcept":
            j = match[j] - 2
        else:
            break
    if j < 0 or toks[j].text != ")" or j not in match:
        return None
    open_paren = match[j]
    params = _param_names(toks, open_paren + 1, j)
    before = open_paren - 1
    if before < 0:
        return None
    if toks[before].text == "]" and before in match:
        lam = match[before]
        name = ""
        if lam >= 2 and toks[lam - 1].text == "=" and toks[lam - 2].kind == "id":
            name = toks[lam - 2].text
        return Function(name, params, before, (brace, match[brace]))
    if toks[before].kind == "id" and toks[before].text not in _NOT_FUNCTIONS:
        return Function(toks[before].text, params, before, (brace, match[brace]))
    return None


def load(path, display):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        tokens = tokenize(text)
    except SourceError as e:
        raise SourceError(f"{display}: {e}") from None
    src = SourceFile(display, tokens)
    src.match = _matching(tokens)
    for i, t in enumerate(tokens):
        if t.kind == "op" and t.text == "{" and i in src.match:
            fn = _function_at(src, i)
            if fn is not None:
                src.functions.append(fn)
    return src


# ---------------------------------------------------------------------------------------------
# Values of an expression

class Unresolved(Exception):
    def __init__(self, where, message):
        super().__init__(f"{where}: {message}")


def _cannot_tell(what):
    return f"cannot tell which texts {what} can be"


@dataclass
class Place:
    src: SourceFile
    index: int  # a token inside the expression, for locating its function


def _union(a, b):
    out = {k: list(v) for k, v in a.items()}
    for k, v in b.items():
        out.setdefault(k, []).extend(p for p in v if p not in out[k])
    return out


class Corpus:
    def __init__(self, files):
        self.files = files

    def values(self, place, lo, hi, seen=()):
        """The texts that tokens[lo:hi] of `place.src` can evaluate to, each with the places of
        the literals that give it."""
        toks, match = place.src.tokens, place.src.match
        while hi - lo >= 2 and toks[lo].text == "(" and match.get(lo) == hi - 1:
            lo, hi = lo + 1, hi - 1
        if hi <= lo:
            raise Unresolved(place.src.where(place.index), _cannot_tell("an empty expression"))
        q = self._top_level(toks, match, lo, hi, "?")
        if q is not None:
            colon = self._ternary_colon(toks, match, q + 1, hi)
            if colon is None:
                raise Unresolved(place.src.where(q), _cannot_tell("a conditional"))
            return _union(self.values(place, q + 1, colon, seen),
                          self.values(place, colon + 1, hi, seen))
        if hi - lo == 1:
            t = toks[lo]
            if t.kind == "str":
                return {t.text: [place.src.where(lo)]}
            if t.kind == "num" or t.kind == "id" and t.text in ("nullptr", "true", "false"):
                return {}  # not a text: no name
            if t.kind == "id":
                return self._identifier(Place(place.src, lo), t.text, seen)
        # Json("x"), std::string("x"), std::string_view{"x"}: the text passes through.
        k = lo
        while k + 1 < hi and (toks[k].kind == "id" or toks[k].text == "::"):
            k += 1
        if k > lo and toks[k].text in ("(", "{") and match.get(k) == hi - 1 and \
                toks[k - 1].text in ("Json", "string", "string_view"):
            return self.values(place, k + 1, hi - 1, seen)
        text = " ".join(t.text for t in toks[lo:hi])
        raise Unresolved(place.src.where(lo), _cannot_tell(f"`{text}`"))

    @staticmethod
    def _top_level(toks, match, lo, hi, op):
        i = lo
        while i < hi:
            t = toks[i]
            if t.kind == "op" and t.text in _OPEN and i in match:
                i = match[i] + 1
                continue
            if t.kind == "op" and t.text == op:
                return i
            i += 1
        return None

    @staticmethod
    def _ternary_colon(toks, match, lo, hi):
        nested, i = 0, lo
        while i < hi:
            t = toks[i]
            if t.kind == "op" and t.text in _OPEN and i in match:
                i = match[i] + 1
                continue
            if t.kind == "op" and t.text == "?":
                nested += 1
            elif t.kind == "op" and t.text == ":":
                if nested == 0:
                    return i
                nested -= 1
            i += 1
        return None

    def _enclosing(self, place):
        return [f for f in place.src.functions if f.body[0] < place.index < f.body[1]]

    def _identifier(self, place, name, seen):
        key = (place.src.path, name, tuple(f.header for f in self._enclosing(place)))
        if key in seen:
            return {}
        seen = seen + (key,)
        # Innermost function first: a parameter of that name, else assignments in its body.
        for fn in sorted(self._enclosing(place), key=lambda f: f.body[0], reverse=True):
            if name in fn.params:
                return self._arguments(place.src, fn, fn.params.index(name), name, seen)
            assigned = self._assignments(place.src, name, fn.body[0], fn.body[1], seen)
            if assigned is not None:
                return assigned
        assigned = self._assignments(place.src, name, 0, len(place.src.tokens), seen)
        if assigned is not None:
            return assigned
        raise Unresolved(place.src.where(place.index), _cannot_tell(f"`{name}`"))

    def _assignments(self, src, name, lo, hi, seen):
        toks, found = src.tokens, None
        for i in range(lo, hi - 1):
            if toks[i].kind == "id" and toks[i].text == name and toks[i + 1].text == "=" and \
                    (i == 0 or toks[i - 1].text not in (".", "->", "::")):
                end = i + 2
                while end < hi and toks[end].text != ";":
                    end = src.match.get(end, end) + 1 if toks[end].text in _OPEN else end + 1
                found = _union(found or {}, self.values(Place(src, i + 2), i + 2, end, seen))
        return found

    def _arguments(self, def_src, fn, position, param, seen):
        """The texts passed at `position` in every call of `fn`."""
        if not fn.name:
            raise Unresolved(def_src.where(fn.header), f"cannot follow parameter `{param}` of a "
                                                       f"lambda that has no name to its callers")
        # A function defined in a .cpp file inside a named function (a lambda) or an anonymous
        # namespace is called from that file only; others may be called from anywhere.
        scope = [def_src] if def_src.path.endswith(".cpp") and self._file_local(def_src, fn) \
            else self.files
        result, calls = {}, 0
        for src in scope:
            toks = src.tokens
            headers = {f.header for f in src.functions}
            for i, t in enumerate(toks):
                if t.kind != "id" or t.text != fn.name or i in headers:
                    continue
                if i + 1 >= len(toks) or toks[i + 1].text != "(" or (i + 1) not in src.match:
                    continue
                if i > 0 and toks[i - 1].text not in _CALL_CONTEXT:
                    continue  # a declaration: its name follows a type
                args = _split_top(toks, i + 2, src.match[i + 1])
                if position >= len(args):
                    continue  # another overload
                calls += 1
                a, b = args[position]
                result = _union(result, self.values(Place(src, a), a, b, seen))
        if calls == 0:
            raise Unresolved(def_src.where(fn.header), f"cannot follow parameter `{param}` of "
                                                       f"`{fn.name}`, which is never called")
        return result

    @staticmethod
    def _file_local(src, fn):
        if any(f.body[0] < fn.header < f.body[1] for f in src.functions):
            return True
        toks = src.tokens
        for i, t in enumerate(toks):
            if t.kind == "id" and t.text == "namespace" and i + 1 < len(toks) and \
                    toks[i + 1].text == "{" and (i + 1) in src.match and \
                    i + 1 < fn.header < src.match[i + 1]:
                return True
        return False


# ---------------------------------------------------------------------------------------------
# What the sources emit

@dataclass
class Emitted:
    events: dict = field(default_factory=dict)  # name -> [place]
    codes: dict = field(default_factory=dict)   # code -> {kind: [place]}
    unresolved: list = field(default_factory=list)


def source_files(root):
    out = []
    base = os.path.join(root, SOURCE_DIR)
    for dirpath, dirnames, filenames in os.walk(base):
        dirnames.sort()
        for name in sorted(filenames):
            if name.endswith((".cpp", ".h", ".hpp", ".cc")):
                path = os.path.join(dirpath, name)
                out.append((path, os.path.relpath(path, root)))
    return out


def collect(root):
    corpus = Corpus([load(path, display) for path, display in source_files(root)])
    emitted = Emitted()
    for src in corpus.files:
        for key, vlo, vhi, owner in _members(src):
            place = Place(src, vlo)
            if owner is None:
                emitted.unresolved.append(
                    f"{src.where(vlo)}: the key \"{key}\" is used in a form this script does not "
                    f"read; build events as Json{{{{\"event\", ...}}, ...}} or ev[\"{key}\"] = ...")
                continue
            try:
                values = corpus.values(place, vlo, vhi)
            except Unresolved as e:
                emitted.unresolved.append(str(e))
                continue
            if key == "event":
                for v, places in values.items():
                    emitted.events.setdefault(v, []).extend(places)
                continue
            try:
                kinds = _kinds_of(corpus, src, owner, vlo)
            except Unresolved as e:
                emitted.unresolved.append(str(e))
                continue
            for v, places in values.items():
                for kind in kinds:
                    emitted.codes.setdefault(v, {}).setdefault(kind, []).extend(places)
    return emitted


def _members(src):
    """Every `{"event", X}` / `{"code", X}` pair and `x["event"] = X;` assignment: the key, the
    token range of X and the owner (the brace of the enclosing object, or the subscripted
    name)."""
    toks, match = src.tokens, src.match
    for i, t in enumerate(toks):
        if t.kind != "str" or t.text not in ("event", "code"):
            continue
        if i > 0 and toks[i - 1].text == "{" and i + 1 < len(toks) and toks[i + 1].text == ",":
            close = match.get(i - 1)
            if close is None:
                yield t.text, i, i, None
                continue
            yield t.text, i + 2, close, _parent_brace(src, i - 1)
        elif i > 0 and toks[i - 1].text == "[" and i + 2 < len(toks) and \
                toks[i + 1].text == "]" and toks[i + 2].text == "=":
            end = i + 3
            while end < len(toks) and toks[end].text != ";":
                end = match.get(end, end) + 1 if toks[end].text in _OPEN else end + 1
            owner = toks[i - 2].text if i >= 2 and toks[i - 2].kind == "id" else None
            yield t.text, i + 3, end, ("subscript", owner, i)
        else:
            yield t.text, i, i, None  # a key in a form this script does not read


def _parent_brace(src, brace):
    best = None
    for j, k in src.match.items():
        if src.tokens[j].text == "{" and j < brace and k > brace and (best is None or j > best):
            best = j
    return ("object", best)


def _kinds_of(corpus, src, owner, index):
    """Whether the object holding a "code" is an "error" or a "warning" event."""
    kinds = {}
    for key, vlo, vhi, o in _members(src):
        if key != "event" or o is None or owner[1] is None:
            continue
        if owner[0] == "object" and o == owner or \
                owner[0] == "subscript" and o[0] == "subscript" and o[1] == owner[1]:
            kinds = _union(kinds, corpus.values(Place(src, vlo), vlo, vhi))
    if kinds:
        return kinds
    raise Unresolved(src.where(index), "cannot tell whether this code is an error's or a "
                                       "warning's: no \"event\" beside it")


# ---------------------------------------------------------------------------------------------
# The reference

@dataclass
class Reference:
    events: dict = field(default_factory=dict)  # name -> line number
    codes: dict = field(default_factory=dict)   # code -> (kinds, line number)
    problems: list = field(default_factory=list)


_ENTRY = re.compile(r"^- `([^`]+)`(?: \(([^)]*)\))?")


def read_reference(path):
    ref = Reference()
    section = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("## "):
                section = {EVENTS_HEADING: "events", CODES_HEADING: "codes"}.get(line.strip())
                continue
            m = _ENTRY.match(line)
            if not m or section is None:
                continue
            name = m.group(1)
            if section == "events":
                if name in ref.events:
                    ref.problems.append(f"{path}:{number}: event `{name}` is listed twice")
                ref.events[name] = number
                continue
            kinds = {k.strip() for k in (m.group(2) or "").split(",") if k.strip()}
            if not kinds or not kinds <= set(KINDS):
                ref.problems.append(
                    f"{path}:{number}: code `{name}` must say (error) or (warning) after its name")
            if name in ref.codes:
                ref.problems.append(f"{path}:{number}: code `{name}` is listed twice")
            ref.codes[name] = (kinds, number)
    if not ref.events:
        ref.problems.append(f"{path}: no events found under \"{EVENTS_HEADING}\"")
    if not ref.codes:
        ref.problems.append(f"{path}: no codes found under \"{CODES_HEADING}\"")
    return ref


def compare(emitted, ref, ref_path):
    problems = list(emitted.unresolved) + list(ref.problems)
    for name in sorted(set(emitted.events) - set(ref.events)):
        problems.append(f"event `{name}` is emitted at {', '.join(emitted.events[name])} "
                        f"but not listed under \"{EVENTS_HEADING}\" in {ref_path}")
    for name in sorted(set(ref.events) - set(emitted.events)):
        problems.append(f"{ref_path}:{ref.events[name]}: event `{name}` is listed but src/ "
                        f"no longer emits it")
    for code in sorted(set(emitted.codes) - set(ref.codes)):
        kinds = ", ".join(sorted(emitted.codes[code]))
        places = ", ".join(p for ps in emitted.codes[code].values() for p in ps)
        problems.append(f"code `{code}` ({kinds}) is emitted at {places} but not listed under "
                        f"\"{CODES_HEADING}\" in {ref_path}")
    for code in sorted(set(ref.codes) - set(emitted.codes)):
        problems.append(f"{ref_path}:{ref.codes[code][1]}: code `{code}` is listed but src/ "
                        f"no longer emits it")
    for code in sorted(set(ref.codes) & set(emitted.codes)):
        listed, number = ref.codes[code]
        actual = set(emitted.codes[code])
        if listed and listed <= set(KINDS) and listed != actual:
            problems.append(f"{ref_path}:{number}: code `{code}` is listed as "
                            f"({', '.join(sorted(listed))}) but src/ emits it as "
                            f"({', '.join(sorted(actual))})")
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        help="repository root (default: the one holding this script)")
    parser.add_argument("--list", action="store_true",
                        help="print the events and codes that src/ emits, with their places")
    args = parser.parse_args(argv)
    try:
        emitted = collect(args.root)
    except SourceError as e:
        print(f"event_reference: {e}", file=sys.stderr)
        return 1
    if args.list:
        for name in sorted(emitted.events):
            print(f"event {name}  {' '.join(emitted.events[name])}")
        for code in sorted(emitted.codes):
            for kind, places in sorted(emitted.codes[code].items()):
                print(f"code {code} ({kind})  {' '.join(places)}")
        for line in emitted.unresolved:
            print(f"unresolved {line}")
        return 1 if emitted.unresolved else 0
    ref_path = os.path.join(args.root, REFERENCE)
    if not os.path.exists(ref_path):
        print(f"event_reference: {REFERENCE} is missing", file=sys.stderr)
        return 1
    problems = compare(emitted, read_reference(ref_path), REFERENCE)
    if not problems:
        print(f"{REFERENCE} lists the {len(emitted.events)} events and {len(emitted.codes)} "
              f"error and warning codes that src/ emits")
        return 0
    print(f"{REFERENCE} does not match what src/ emits:", file=sys.stderr)
    for p in problems:
        print(f"  {p}", file=sys.stderr)
    print(f"Give every emitted name and code one line in {REFERENCE} (what it carries and when "
          f"it comes) and remove the lines of names that are gone; emit names as literals, or "
          f"through helpers whose callers pass literals.", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
