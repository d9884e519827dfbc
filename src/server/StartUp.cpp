#include "server/ServerProcess.h"

int main(int argc, char** argv) { return voxmit::StartUp(argc, argv); }
