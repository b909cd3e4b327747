"""What Excel's function wizard shows for a worksheet function.

The add-in calls :func:`texts` when it registers a function with Excel, so
the docstring and the parameters are read then, never while the package or a
user module is imported. Plain functions are read from their code objects:
``inspect`` is not imported at open for them.
"""

import tindral_xl

# Excel takes at most 255 characters in each text argument of xlfRegister; the
# argument text (all parameter names, comma-separated) is held to the same
# total. Counted in UTF-16 units, as Excel counts.
MAX_TEXT = 255
# What a cut text ends with, so that the reader sees it was cut (one unit).
_CUT_MARK = "\u2026"
# Category of a function whose module has no name.
DEFAULT_CATEGORY = "TindralXL"

# Section headings of a docstring's parameter list: Google style ("Args:"),
# numpy style ("Parameters" over a dashed line) and Sphinx fields (":param x:").
_GOOGLE_HEADINGS = ("args:", "arguments:", "parameters:", "params:", "parameter:")
_NUMPY_HEADINGS = ("parameters", "params", "arguments", "args")


def _units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def _clean(text):
    """``text`` as Excel can take it: a lone surrogate becomes U+FFFD."""
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")


def cut(text, limit=MAX_TEXT, mark=_CUT_MARK):
    """``text`` in at most ``limit`` UTF-16 units, never splitting a pair; a cut
    text ends with ``mark``."""
    text = _clean(text)
    if _units(text) <= limit:
        return text
    room = limit - _units(mark)
    units = text.encode("utf-16-le")[: 2 * room]
    if units and 0xD8 <= units[-1] <= 0xDB:  # a high half without its low one
        units = units[:-2]
    return units.decode("utf-16-le") + mark


def argument_text(names, limit=MAX_TEXT):
    """The names comma-separated in at most ``limit`` units: while too long, the
    longest name loses its last character (every name keeps at least one), so
    the wizard still shows one label per argument."""
    names = [_clean(n) for n in names]
    total = lambda: sum(_units(n) for n in names) + max(len(names) - 1, 0)  # noqa: E731
    while total() > limit:
        longest = max(range(len(names)), key=lambda i: _units(names[i]))
        if _units(names[longest]) <= 1:
            break
        shorter = names[longest][:-1]
        if shorter and 0xD800 <= ord(shorter[-1]) <= 0xDBFF:
            shorter = shorter[:-1]
        names[longest] = shorter
    return cut(",".join(names), limit, mark="")


def _lines(doc):
    """The docstring's lines with the common indentation of all but the first
    removed (what inspect.cleandoc does), trailing blanks dropped."""
    lines = doc.expandtabs().split("\n")
    indents = [len(l) - len(l.lstrip()) for l in lines[1:] if l.strip()]
    margin = min(indents) if indents else 0
    out = [lines[0].strip()] + [l[margin:].rstrip() for l in lines[1:]]
    while out and not out[-1]:
        out.pop()
    while out and not out[0]:
        out.pop(0)
    return out


def _summary(lines):
    """The docstring's first line, unless it is already a field (":param x:")."""
    first = lines[0].strip() if lines else ""
    return "" if first.startswith(":") else first


def _indent(line):
    return len(line) - len(line.lstrip())


def _item_name(head):
    """The parameter named by an item's head: "x", "x (float)", "x : float", "*args"."""
    name = head.split("(")[0].split(":")[0].strip().lstrip("*")
    return name.split()[0] if name.split() else ""


def _google_section(lines):
    helps = {}
    for at, line in enumerate(lines):
        if line.strip().lower() not in _GOOGLE_HEADINGS:
            continue
        base = _indent(line)
        item, text = None, []
        for body in lines[at + 1:]:
            if not body.strip():
                continue
            if _indent(body) <= base:
                break
            if item is None or _indent(body) <= item_indent:
                if item is not None:
                    helps.setdefault(item, " ".join(text))
                head, _, rest = body.strip().partition(":")
                item, item_indent, text = _item_name(head), _indent(body), [rest.strip()] if rest.strip() else []
            else:
                text.append(body.strip())
        if item is not None:
            helps.setdefault(item, " ".join(text))
    return helps


def _dashes(line):
    s = line.strip()
    return bool(s) and set(s) == {"-"}


def _numpy_section(lines):
    helps = {}
    for at in range(len(lines) - 1):
        if lines[at].strip().lower() not in _NUMPY_HEADINGS or not _dashes(lines[at + 1]):
            continue
        base = _indent(lines[at])
        item, text = None, []
        for i in range(at + 2, len(lines)):
            body = lines[i]
            if not body.strip():
                continue
            if _indent(body) <= base:
                if i + 1 < len(lines) and _dashes(lines[i + 1]):
                    break  # the next section's heading
                if item is not None:
                    helps.setdefault(item, " ".join(text))
                item, text = _item_name(body.strip()), []
            elif item is not None:
                text.append(body.strip())
        if item is not None:
            helps.setdefault(item, " ".join(text))
    return helps


def _sphinx_fields(lines):
    helps = {}
    current = None
    for line in lines:
        s = line.strip()
        if s.startswith(":param ") and s.count(":") >= 2:
            field, _, text = s[len(":param "):].partition(":")
            current = field.split()[-1].lstrip("*") if field.split() else None
            if current:
                helps.setdefault(current, text.strip())
        elif s.startswith(":"):
            current = None
        elif current and s:
            helps[current] = (helps[current] + " " + s).strip()
        else:
            current = None
    return helps


def parameter_helps(doc):
    """{parameter name: help text} from a docstring's parameter section."""
    lines = _lines(doc)
    helps = {}
    for read in (_sphinx_fields, _numpy_section, _google_section):
        for name, text in read(lines).items():
            if name and text:
                helps.setdefault(name, text)
    return helps


def _annotation_text(annotation):
    if isinstance(annotation, str):
        return annotation
    if isinstance(annotation, type):
        return annotation.__qualname__
    return repr(annotation).replace("typing.", "")


def _target(function):
    """What the user wrote: the package's wrapper that applies defaults names
    the function it wraps."""
    if getattr(function, "_tindral_omitted", None) is not None:
        return getattr(function, "__wrapped__", function)
    return function


def _names(target, count):
    params = tindral_xl._parameters(target) or []
    names = [p.name for p in params if p.positional]
    star = next((p.name for p in params if p.star == "*"), None)
    at = len(names)
    while len(names) < count:
        at += 1
        names.append("%s%d" % (star, at - len(params) + 1) if star else "arg%d" % at)
    return names[:count]


def texts(name, function, count):
    """The wizard's texts for ``function`` registered under ``name`` with
    ``count`` arguments: (argument text, category, function help, then one
    argument help per argument), each a str of at most 255 UTF-16 units."""
    target = _target(function)
    doc = getattr(target, "__doc__", None)
    doc = doc if isinstance(doc, str) else ""
    names = _names(target, count)
    helps = parameter_helps(doc) if doc else {}
    annotations = getattr(target, "__annotations__", None)
    annotations = annotations if isinstance(annotations, dict) else {}
    category = tindral_xl._categories.get(name)
    if not category:
        category = getattr(target, "__module__", None) or DEFAULT_CATEGORY
    argument_helps = []
    for n in names:
        text = helps.get(n)
        if not text:
            text = "%s: %s" % (n, _annotation_text(annotations[n])) if n in annotations else n
        argument_helps.append(cut(text))
    return (argument_text(names), cut(str(category)), cut(_summary(_lines(doc)) if doc else ""),
            *argument_helps)
