// A slot's worker process: it owns one library handle and the port numbers
// of its own process (so that every slot may use ports 1 and 2), runs the
// jobs its station asks for and reports every callback as one JSON line.
//
// Station to worker (standard input), one JSON object per line:
//   {"cmd":"run","job":N,"ports":["/dev/..."],"options":"/mode=flash ...","config_dir":"..."}
//   {"cmd":"abort","job":N}
// Worker to station (standard output): the command line's --json events
// without "time" ("message", "status", "progress_begin", "progress_update",
// "progress_end"), each with "job", and {"type":"result","job":N,"code":C,"name":"..."}
// when the job is over. End of input aborts a running job and ends the worker.
#pragma once

namespace flashwire::station {

int RunWorker();

}  // namespace flashwire::station
