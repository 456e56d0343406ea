#include "app/main_window.h"

int main(int argc, char** argv) { return qm::RunQuillmere(argc, argv); }
