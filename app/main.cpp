// lstconvert: binds the report projects of the current directory to the
// table Partlist.
#include "app/batch.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const auto platform = lstconvert::CreatePlatform(argc, argv);
  return lstconvert::RunBatch(*platform);
}
