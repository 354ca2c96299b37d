#pragma once
// vesper-sim avaya: an exchange that hands out its call records over TCP,
// the far end of the call-log library stand-in (tools/devlink).
//
// Wire: the client sends its password and a line feed; the server answers
// "OK" or "DENIED" and CR LF (and closes after DENIED). Then every record is
// one line of text ending in CR LF. Records are made only while a client
// is logged in, so nothing is printed into a dead link: a record is lost
// only when it was in flight as the link dropped.

namespace vr::sim {

// argv[1] is "avaya"; the exit status.
int RunAvayaSimulator(int argc, char** argv);

}  // namespace vr::sim
