#pragma once
// Paper sizes as an operator reads them: "na_index-4x6_4x6in" is "4x6 in (10x15 cm)",
// "iso_a4_210x297mm" is "A4 (210x297 mm)". The IPP name stays what is stored and sent.
#include <string>
#include <string_view>

namespace brisko {

// Readable name of a PWG self-describing media name; the name itself when it is not one.
// Bounded: names come from the printer.
std::string ReadableMediaName(std::string_view ippName);
// The paper's width and height in hundredths of a millimetre, for a name CUPS knows.
bool MediaDimensions(const std::string& ippName, int* width, int* height);

}  // namespace brisko
