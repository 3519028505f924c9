#include <iostream>

#include "run/entry.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    return kelmora::run_program(argc, argv, std::cout, std::cin);
}
