// The host's formula reader. The grammar is the part of Excel's formula
// language worksheet calls need: constants (numbers with an optional sign,
// "text", TRUE/FALSE, error literals, {array} constants), A1 references with
// an optional sheet part (Sheet1!A1:B3, 'My sheet'!A1, [Book1]Sheet1!A1, whole
// columns A:C and rows 1:3) and calls NAME(arg, ...) nested at most 64 deep.
// Operators (+, &, ...) are not read: such a formula is refused.
#include "xllhost_formula.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

struct formula_reader {
    const std::string &text;
    size_t at;
    std::string why;
};

void formula_skip(formula_reader *r) {
    while (r->at < r->text.size() && (r->text[r->at] == ' ' || r->text[r->at] == '\t')) r->at++;
}

char formula_peek(formula_reader *r) {
    formula_skip(r);
    return r->at < r->text.size() ? r->text[r->at] : 0;
}

int formula_fail(formula_reader *r, const char *why) {
    if (r->why.empty()) r->why = std::string(why) + " at column " + std::to_string(r->at + 1);
    return 0;
}

// The first `n` bytes of `a` and `b` equal but for ASCII case.
bool formula_same(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (!a[i] || !b[i] || toupper((unsigned char)a[i]) != toupper((unsigned char)b[i])) return false;
    }
    return true;
}

bool formula_name_char(char c) { return isalnum((unsigned char)c) || c == '_' || c == '.' || (unsigned char)c >= 0x80; }

// Excel's error literals and their codes (xlerrNull ... xlerrGettingData).
struct formula_error_literal {
    const char *text;
    int32_t code;
};
constexpr formula_error_literal FORMULA_ERRORS[] = {
    {"#GETTING_DATA", 43}, {"#DIV/0!", 7}, {"#VALUE!", 15}, {"#NULL!", 0},
    {"#NAME?", 29},        {"#NUM!", 36},  {"#REF!", 23},   {"#N/A", 42},
};

int formula_expression(formula_reader *r, formula_node *out, int depth);

// "text" with "" for a quote.
int formula_text(formula_reader *r, formula_node *out) {
    r->at++;  // the opening quote
    std::string value;
    for (;;) {
        if (r->at >= r->text.size()) return formula_fail(r, "unterminated text");
        char c = r->text[r->at++];
        if (c == '"') {
            if (r->at < r->text.size() && r->text[r->at] == '"') {
                value += '"';
                r->at++;
                continue;
            }
            break;
        }
        value += c;
    }
    out->kind = FORMULA_TEXT;
    out->text = value;
    return 1;
}

int formula_number(formula_reader *r, formula_node *out) {
    const char *start = r->text.c_str() + r->at;
    char *end = nullptr;
    double v = strtod(start, &end);
    // strtod also reads "inf", "nan" and hex: none of them is a number in a formula.
    if (end == start || !(isdigit((unsigned char)*start) || *start == '.' || *start == '-' || *start == '+') ||
        memchr(start, 'x', (size_t)(end - start)) || memchr(start, 'X', (size_t)(end - start)) ||
        !(v == v) || v > 1.7976931348623157e308 || v < -1.7976931348623157e308)
        return formula_fail(r, "expected a number");
    for (const char *p = start; p < end; p++)
        if (isalpha((unsigned char)*p) && *p != 'e' && *p != 'E') return formula_fail(r, "expected a number");
    r->at += (size_t)(end - start);
    out->kind = FORMULA_NUMBER;
    out->num = v;
    return 1;
}

// {a,b;c,d}: constants, commas between columns, semicolons between rows.
int formula_array(formula_reader *r, formula_node *out) {
    r->at++;  // the brace
    out->kind = FORMULA_ARRAY;
    long cols_in_row = 0;
    for (;;) {
        formula_node item;
        char c = formula_peek(r);
        if (c == '"') {
            if (!formula_text(r, &item)) return 0;
        } else if (c == '#' || isalpha((unsigned char)c)) {
            if (!formula_expression(r, &item, FORMULA_MAX_DEPTH)) return 0;
            if (item.kind != FORMULA_BOOL && item.kind != FORMULA_ERROR)
                return formula_fail(r, "an array holds constants only");
        } else if (!formula_number(r, &item)) {
            return 0;
        }
        out->items.push_back(item);
        cols_in_row++;
        c = formula_peek(r);
        r->at++;
        if (c == ',') continue;
        if (c == ';' || c == '}') {
            if (out->rows == 0) out->cols = cols_in_row;
            else if (cols_in_row != out->cols) return formula_fail(r, "every row of an array needs as many values");
            out->rows++;
            cols_in_row = 0;
            if (c == '}') return 1;
            continue;
        }
        r->at--;
        return formula_fail(r, "expected , ; or } in the array");
    }
}

// A sheet name in quotes: '' is one quote. The quotes are kept: the
// workbook's reference reader takes the text as written.
int formula_quoted_sheet(formula_reader *r, std::string *raw) {
    size_t start = r->at++;
    for (;;) {
        if (r->at >= r->text.size()) return formula_fail(r, "unterminated sheet name");
        if (r->text[r->at++] != '\'') continue;
        if (r->at < r->text.size() && r->text[r->at] == '\'') {
            r->at++;
            continue;
        }
        break;
    }
    *raw = r->text.substr(start, r->at - start);
    return 1;
}

// The cell part of a reference: $A$1, A1:B3, A:C, 1:3 (checked by the
// workbook); only the characters a reference may hold are taken.
std::string formula_cells(formula_reader *r) {
    size_t start = r->at;
    while (r->at < r->text.size() &&
           (isalnum((unsigned char)r->text[r->at]) || r->text[r->at] == '$' || r->text[r->at] == ':'))
        r->at++;
    return r->text.substr(start, r->at - start);
}

// A word: a call when "(" follows, a sheet's reference when "!" follows,
// TRUE/FALSE, or else a reference of the active sheet.
int formula_word(formula_reader *r, formula_node *out, int depth) {
    size_t start = r->at;
    if (r->text[r->at] == '[') {  // [Book1]Sheet1!A1
        size_t close = r->text.find(']', r->at);
        if (close == std::string::npos) return formula_fail(r, "expected ] after the workbook's name");
        r->at = close + 1;
    }
    while (r->at < r->text.size() && (formula_name_char(r->text[r->at]) || r->text[r->at] == '$')) r->at++;
    std::string word = r->text.substr(start, r->at - start);
    if (word.empty()) return formula_fail(r, "expected a value, a reference or a call");
    if (formula_peek(r) == '(' && word.find('$') == std::string::npos && word[0] != '[') {
        r->at++;
        out->kind = FORMULA_CALL;
        out->text = word;
        if (formula_peek(r) == ')') {
            r->at++;
            return 1;
        }
        for (;;) {
            formula_node arg;
            char c = formula_peek(r);
            if (c != ',' && c != ')' && !formula_expression(r, &arg, depth + 1)) return 0;
            out->items.push_back(arg);
            if (out->items.size() > (size_t)FORMULA_MAX_ARGS)
                return formula_fail(r, "more arguments than a worksheet function receives");
            c = formula_peek(r);
            r->at++;
            if (c == ',') continue;
            if (c == ')') return 1;
            r->at--;
            return formula_fail(r, "expected , or )");
        }
    }
    if (r->at < r->text.size() && r->text[r->at] == '!') {
        r->at++;
        out->kind = FORMULA_REF;
        out->text = word + "!" + formula_cells(r);
        return 1;
    }
    bool yes = word.size() == 4 && formula_same(word.c_str(), "TRUE", 4);
    if (yes || (word.size() == 5 && formula_same(word.c_str(), "FALSE", 5))) {
        out->kind = FORMULA_BOOL;
        out->code = yes;
        return 1;
    }
    // A1, A1:B3, A:C or 1:3 on the active sheet.
    r->at = start;
    out->kind = FORMULA_REF;
    out->text = formula_cells(r);
    return 1;
}

int formula_expression(formula_reader *r, formula_node *out, int depth) {
    if (depth > FORMULA_MAX_DEPTH) return formula_fail(r, "functions nested more than 64 levels deep");
    char c = formula_peek(r);
    if (c == '"') return formula_text(r, out);
    if (c == '{') return formula_array(r, out);
    if (c == '#') {
        for (const formula_error_literal &e : FORMULA_ERRORS) {
            size_t n = strlen(e.text);
            if (formula_same(r->text.c_str() + r->at, e.text, n)) {
                r->at += n;
                out->kind = FORMULA_ERROR;
                out->code = e.code;
                return 1;
            }
        }
        return formula_fail(r, "unknown error value");
    }
    if (c == '\'') {
        std::string sheet;
        if (!formula_quoted_sheet(r, &sheet)) return 0;
        if (r->at >= r->text.size() || r->text[r->at] != '!') return formula_fail(r, "expected ! after the sheet name");
        r->at++;
        out->kind = FORMULA_REF;
        out->text = sheet + "!" + formula_cells(r);
        return 1;
    }
    // A row reference (1:3) starts with digits too: a number then ':' is one.
    if (isdigit((unsigned char)c)) {
        size_t digits = r->at;
        while (digits < r->text.size() && isdigit((unsigned char)r->text[digits])) digits++;
        if (digits < r->text.size() && r->text[digits] == ':') {
            out->kind = FORMULA_REF;
            out->text = formula_cells(r);
            return 1;
        }
    }
    if (isdigit((unsigned char)c) || c == '.' || c == '-' || c == '+') return formula_number(r, out);
    if (c == '$' || c == '[' || formula_name_char(c)) return formula_word(r, out, depth);
    return formula_fail(r, "expected a value, a reference or a call");
}

}  // namespace

int formula_parse(const std::string &text, formula_node *out, std::string *why) {
    formula_reader r{text, 0, ""};
    *out = formula_node{};
    if (formula_peek(&r) != '=') {
        *why = "a formula starts with =";
        return 0;
    }
    r.at++;
    if (!formula_expression(&r, out, 1)) {
        *why = r.why;
        return 0;
    }
    if (formula_peek(&r) != 0) {
        formula_fail(&r, "unexpected text after the expression (operators are not evaluated here)");
        *why = r.why;
        return 0;
    }
    return 1;
}
