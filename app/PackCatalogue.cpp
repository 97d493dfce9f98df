// Build tool: writes the shipped profile catalogue from its readable source, as UTF-8 with a
// byte-order mark and every byte complemented. Usage: pack-catalogue <source> <formats.dat>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "Decryptor.h"

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::cerr << "usage: pack-catalogue <source> <formats.dat>\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "pack-catalogue: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (text.rfind("\xEF\xBB\xBF", 0) != 0) text.insert(0, "\xEF\xBB\xBF");
    text = ComplementBytes(std::move(text));
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out.flush()) {
        std::cerr << "pack-catalogue: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
