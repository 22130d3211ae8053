// Tessaline's entry point.

#include <iostream>

int main() {
    std::cout << "Tessaline: the app's screens and calculation core are not built yet on Linux.\n";
    return 0;
}
