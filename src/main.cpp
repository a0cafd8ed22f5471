// object_reader: reads LTO tapes written in the Quorrant object format.
#include "object_reader.h"
#include "output_level.h"
#include "support/run_record.h"
#include "support/status_line.h"

// A run that ends early (a system failure, a stop asked for by a signal) throws RunEnded with its
// exit status: the objects of the run have been cleaned up on the way here.
int main(int argc, char** argv) {
  try {
    return object_reader_main(argc, argv);
  } catch (const ForkedJobEnded& done) {
    return done.status();  // its report and files were finished by its own run
  } catch (const RunEnded& ended) {
    // A stop (a signal, a fatal error) leaves no status line for the shell to write after.
    status_line::finish();
    run_record::set_exit_status(ended.status());
    return ended.status();
  }
}
