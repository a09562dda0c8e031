// The kestrelctl commands, one a file in this folder. Each runs on the main thread of one
// kestrelctl run: it parses its own arguments first (bad usage is reported with an example and
// nothing is sent), then talks to the device through the session it is lent, and returns the
// exit code from Session::finish.
#pragma once

#include "cli/args.h"
#include "cli/session.h"

namespace kestrel::cli {

int cmd_info(Session& session, ArgList args);
int cmd_read(Session& session, ArgList args);
int cmd_write(Session& session, ArgList args);
int cmd_verify(Session& session, ArgList args);
int cmd_set(Session& session, ArgList args);
int cmd_reset(Session& session, ArgList args);
int cmd_scan(Session& session, ArgList args);
int cmd_batch(Session& session, ArgList args, const CliStreams& io);
// The batch's child: one unit's steps (see --help batch); not listed in the main help.
int cmd_unit(Session& session, ArgList args);

}  // namespace kestrel::cli
