#include "app/app.hpp"

int main(int argc, char** argv) {
    return tonalyx::run(argc, argv);
}
