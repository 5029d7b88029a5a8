#pragma once

namespace stratavon {

// `stratavon-cli targets`: the machine's mount roots with their type words.
int TargetsCommand();

// `stratavon-cli events [--json]`: the event log, either as stored (one JSON
// object a line) or as text: time, id, the catalog text with its strings,
// and for a DATA COMPARISON the expected and found words.
int EventsCommand(bool bJson);

}  // namespace stratavon
