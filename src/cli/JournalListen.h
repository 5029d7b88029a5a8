#pragma once

namespace stratavon {

// `stratavon-cli journal-listen PORT DIR`: takes the flush journals of runs
// on other machines (run --journal tcp:HOST:PORT) and keeps each run's in
// DIR/stratavon-RUNID.journal, every record synced before it is answered.
// Runs until killed; 2 on bad arguments or a port it cannot listen on.
int JournalListenCommand(int argc, char** argv);

}  // namespace stratavon
