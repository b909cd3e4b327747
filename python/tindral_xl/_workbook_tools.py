"""The workbook as tools for a model: read_range, write_range, set_formula,
list_sheets and calculate, each a JSON Schema and a handler over
:mod:`tindral_xl.excel`.

``TOOLS`` lists them as ``{"name", "description", "inputSchema", "handler"}``;
a handler takes the call's arguments (a dict) and returns a JSON-ready dict,
or raises ``ValueError`` (bad arguments, bad reference: nothing changed),
``RuntimeError`` (Excel refused, the add-in is closing) or ``TimeoutError``.
Cell values travel as JSON numbers, strings, booleans and null (an empty
cell); an Excel error value is ``{"error": "#DIV/0!"}``.
"""

from . import excel

__all__ = ["TOOLS", "to_json", "from_json"]

_REF = {
    "type": "string",
    "description": "A1 reference: 'Sheet1!A1:C10', 'B2' (active sheet), 'My sheet'!A1 quoted, or a defined name.",
    "minLength": 1,
    "maxLength": 1024,
}
_CELL = {
    "description": "A cell value: number, string, boolean, null (clears the cell), or {\"error\": \"#N/A\"}.",
    "anyOf": [
        {"type": "number"},
        {"type": "string"},
        {"type": "boolean"},
        {"type": "null"},
        {"type": "object", "properties": {"error": {"type": "string"}}, "required": ["error"],
         "additionalProperties": False},
    ],
}


def to_json(value):
    """A cell value as JSON: XLError becomes {"error": name}."""
    if isinstance(value, excel.XLError):
        return {"error": value.name}
    return value


def from_json(value, where):
    """A JSON cell value for excel.write; {"error": name} becomes XLError."""
    if isinstance(value, dict):
        if set(value) != {"error"}:
            raise ValueError("%s: an object cell must be {\"error\": \"#N/A\"}-like" % where)
        return excel.XLError(value["error"])
    return value


def _ref(args):
    ref = args.get("ref") if isinstance(args, dict) else None
    if not isinstance(ref, str) or not ref:
        raise ValueError("'ref' must be an A1 reference text such as 'Sheet1!A1:C10'")
    return ref


def read_range(args):
    ref = _ref(args)
    rows = excel.read(ref)
    return {"ref": ref, "rows": [[to_json(v) for v in row] for row in rows]}


def write_range(args):
    ref = _ref(args)
    values = args.get("values")
    if not isinstance(values, list) or not all(isinstance(row, list) for row in values):
        raise ValueError("'values' must be a list of rows, each a list of cell values, e.g. [[1, \"a\"], [2, null]]")
    rows = [[from_json(v, "row %d" % (r + 1)) for v in row] for r, row in enumerate(values)]
    return {"ref": ref, "written": excel.write(ref, rows)}


def set_formula(args):
    ref = _ref(args)
    formula = args.get("formula")
    if not isinstance(formula, str) or not formula:
        raise ValueError("'formula' must be a text such as '=SUM(A1:A3)'")
    excel.set_formula(ref, formula)
    return {"ref": ref, "formula": formula}


def list_sheets(args):
    answer = {"sheets": excel.sheets()}
    try:
        answer["selection"] = excel.selection()
    except RuntimeError:
        answer["selection"] = None  # an object or chart is selected
    return answer


def calculate(args):
    excel.calculate()
    return {"calculated": True}


TOOLS = [
    {
        "name": "read_range",
        "description": "Read the values of a cell range of the open Excel workbook. Returns {ref, rows}: a list "
                       "of rows, each a list of values (number, string, boolean, null for an empty cell, "
                       "{error: '#DIV/0!'} for an error value). Formulas come back as their computed values. "
                       "At most 1,000,000 cells per call.",
        "inputSchema": {"type": "object", "properties": {"ref": _REF}, "required": ["ref"],
                        "additionalProperties": False},
        "handler": read_range,
    },
    {
        "name": "write_range",
        "description": "Write constant values into cells of the open Excel workbook. 'values' is a list of "
                       "equally long rows. Give the whole target range (its shape must match the values) or a "
                       "single cell, which becomes the top-left corner of the block. null clears a cell. Use "
                       "set_formula for formulas. Returns {ref, written}.",
        "inputSchema": {
            "type": "object",
            "properties": {
                "ref": _REF,
                "values": {"type": "array", "minItems": 1, "description": "Rows of cell values.",
                           "items": {"type": "array", "minItems": 1, "items": _CELL}},
            },
            "required": ["ref", "values"],
            "additionalProperties": False,
        },
        "handler": write_range,
    },
    {
        "name": "set_formula",
        "description": "Enter a formula (such as '=SUM(A1:A10)' or '=MYFUNC(2, 3)', including worksheet "
                       "functions defined in Python) into one cell of the open Excel workbook. Excel computes "
                       "it; read the cell afterwards to see the result.",
        "inputSchema": {
            "type": "object",
            "properties": {
                "ref": dict(_REF, description="The one cell to hold the formula, e.g. 'Sheet1!D2'."),
                "formula": {"type": "string", "minLength": 1, "maxLength": 8192,
                            "description": "The formula, starting with '='."},
            },
            "required": ["ref", "formula"],
            "additionalProperties": False,
        },
        "handler": set_formula,
    },
    {
        "name": "list_sheets",
        "description": "List the sheets of the active Excel workbook, in order, and the current selection "
                       "(an A1 reference, or null). Returns {sheets, selection}.",
        "inputSchema": {"type": "object", "properties": {}, "additionalProperties": False},
        "handler": list_sheets,
    },
    {
        "name": "calculate",
        "description": "Recalculate every open Excel workbook now (Calculate Now), e.g. after changing "
                       "worksheet functions.",
        "inputSchema": {"type": "object", "properties": {}, "additionalProperties": False},
        "handler": calculate,
    },
]
