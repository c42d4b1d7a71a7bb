// The chooser's two input files, from their stored text to the table's
// header labels, column keys and cells: the two-pass percent-decoding and
// the JSON walk. Nothing here needs a window.
#pragma once

#include <QList>
#include <QStringList>

#include <string>

// Each takes a file's stored text up to its first NUL byte. Text that does
// not decode to JSON, or a list of the wrong shape, is reported on stdout.

// One header label and one column key per member of the column file; none
// when its text is not JSON.
void ColumnsFromText(const char *stored, QStringList &headerLabels, QStringList &columnKeys);

// What the list file gives the table.
struct CertificateRows {
    int rowCount = 0;          // rows of the table: the array's length
    QList<QStringList> cells;  // the cell texts row by row, as far as the walk came
    bool complete = false;     // every cell found: only then is row 0 pre-selected
};
// The cells for columnKeys; the walk stops at the first element that is not
// an object or lacks one of the keys.
CertificateRows CertificatesFromText(const char *stored, const QStringList &columnKeys);

// What FromHex gives for a byte that is neither an ASCII letter nor a digit.
const unsigned char kNoHexValue = 0xFF;

// The value of one digit: '0'-'9' are 0-9, letters of either case 10-35.
unsigned char FromHex(unsigned char x);
// One pass of percent-decoding over bytes. A '%' without two digits after
// it is copied through unchanged.
std::string DecodeURIComponent(const std::string &s);
// Two passes: the data files are stored percent-encoded twice.
std::string JsonUrlDecode(std::string s);
