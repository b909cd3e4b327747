// The host's formula reader: "=..." text as a tree of literals, references
// and calls, which the workbook (xllhost.cpp) evaluates. The reader knows no
// cells and no registrations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum formula_kind {
    FORMULA_MISSING,  // an argument left out: =F(1,,2)
    FORMULA_NUMBER,
    FORMULA_TEXT,     // "..." with "" for a quote, UTF-8
    FORMULA_BOOL,     // TRUE / FALSE
    FORMULA_ERROR,    // #N/A, #VALUE!, ... as an Excel error code
    FORMULA_REF,      // an A1 reference text, sheet part included
    FORMULA_CALL,     // NAME(arguments)
    FORMULA_ARRAY,    // {1,2;3,4}: constants only, row by row
};

struct formula_node {
    formula_kind kind = FORMULA_MISSING;
    double num = 0;                   // FORMULA_NUMBER
    int32_t code = 0;                 // FORMULA_BOOL (0 or 1), FORMULA_ERROR
    std::string text;                 // FORMULA_TEXT, FORMULA_REF, FORMULA_CALL (the name)
    long rows = 0, cols = 0;          // FORMULA_ARRAY
    std::vector<formula_node> items;  // FORMULA_CALL arguments, FORMULA_ARRAY elements
};

// Excel nests functions at most 64 levels deep (its published limits for a
// worksheet: 64 nested levels of functions); deeper formulas are refused.
constexpr int FORMULA_MAX_DEPTH = 64;
// A call passes at most this many arguments (every slot receives ten).
constexpr int FORMULA_MAX_ARGS = 10;

// Reads `text` ("=" then one expression). 1 with the tree in `out`; 0 with
// `why` saying what the reader could not take.
int formula_parse(const std::string &text, formula_node *out, std::string *why);
