#include "server/server.h"

int main(int argc, char** argv) {
  return mirx::run_server(argc, argv);
}
