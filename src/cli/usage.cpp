#include "cli/usage.h"

namespace kestrel::cli {

const char* main_help() {
    return R"(Usage: kestrelctl [--device IP:PORT] [--json] [--progress auto|bar|lines|none|json]
                  [--trace FILE] [-v] COMMAND [ARGS...]

Talks to one device over UDP. The device comes from --device, else KESTREL_DEVICE.

Commands:
  info                     the configuration block and the flash chip
  read FILE                the 4 MiB flash (or --offset A --length N of it) into FILE
  write IMAGE              erase, program and verify the flash from IMAGE
  verify IMAGE             compare the device's flash with IMAGE (--against FILE: with a file)
  set ip A.B.C.D:PORT      set ip, mac, ts-port, multicast on|off, multicast-ip
  reset                    reset the device
  scan [RANGE]             find the devices in RANGE and list their configuration
  batch PLAN               provision many devices from a CSV plan
  help [COMMAND]           this help, or a command's
Run "kestrelctl help COMMAND" (or "kestrelctl COMMAND --help") for a command's options.

Options:
  --device IP:PORT         the device, for example 192.168.1.50:5000
  --json                   one JSON object per command on stdout
  --progress MODE          auto (a bar on a terminal, lines otherwise), bar, lines, none,
                           json (one object per line, for programs)
  --trace FILE             write the debug trace to FILE
  -v, --verbose            write the debug trace to stderr
  --help, --version

Progress goes to stderr; at the end a summary line gives bytes, seconds, rate, exchanges and
the link faults recovered. The debug trace goes only to --trace FILE (or stderr with -v).

Exit codes:
  0  success
  1  the device's data differs (verify)
  2  bad usage or input; nothing was sent to the device
  3  no device: no answer, or the handshake failed, within 3 s
  4  wrong or no flash chip
  5  file error
  6  the link gave up: faults beyond the retry budget
  130 interrupted (Ctrl-C); the output says what the device holds
)";
}

const char* command_help(const std::string& command) {
    if (command == "info") {
        return R"(Usage: kestrelctl info
Shakes hands with the device and prints its MAC, IP address, port, TS port, multicast setting
and address, and the flash chip's identification. --json fields: mac, ip, port, ts_port,
multicast, multicast_ip, flash_id, flash_ok.
)";
    }
    if (command == "read") {
        return R"(Usage: kestrelctl read FILE [--verify] [--offset A] [--length N]
Reads the whole 4 MiB flash, or N bytes from address A, into FILE. FILE appears only when the
read is complete; its folder's free space is checked first. A and N: decimal or 0x hex.
  --verify     read twice and compare before writing FILE
  --offset A   start at chip address A (default 0)
  --length N   read N bytes (default: to the end of the chip)
)";
    }
    if (command == "write") {
        return R"(Usage: kestrelctl write IMAGE [--no-skip-blank] [--no-verify | --verify-all] [--resume]
                       [--backup FILE] [--offset A [--keep-rest]] [--truncate]
Closes RTP channels 0 to 63, checks the flash chip, erases it (13 s and more), programs IMAGE
and reads the programmed pages back. The chip has only a whole-chip erase: without
--keep-rest everything outside the image ends blank.
  --no-skip-blank  also program image pages that are all FFh
  --no-verify      no read-back
  --verify-all     read back the whole chip
  --resume         continue an interrupted or failed write without a new erase when every
                   page is right or still blank (erases otherwise)
  --backup FILE    first read the whole chip into FILE; nothing is erased when that fails
  --offset A       put IMAGE at chip address A (decimal or 0x hex)
  --keep-rest      read the chip first and program it back around IMAGE, so everything
                   outside IMAGE stays as it was
  --truncate       write the part of an image that fits instead of refusing a longer one
Ctrl-C stops between pages and says what the device holds; during the erase it says so at
once, and a second Ctrl-C stops then.
)";
    }
    if (command == "verify") {
        return R"(Usage: kestrelctl verify IMAGE [--offset A | --against FILE]
Reads the device's pages that IMAGE covers and compares them with IMAGE; exit 1 names the
first differing address.
  --offset A       compare with the chip from address A on
  --against FILE   compare every byte of IMAGE with FILE instead (no device needed); FILE may
                   go on past IMAGE, as a dump of the chip does
)";
    }
    if (command == "set") {
        return R"(Usage: kestrelctl set WHAT VALUE
  set ip A.B.C.D:PORT            the device's address and port (then talks to it there)
  set mac XX:XX:XX:XX:XX:XX      the MAC address
  set ts-port N                  the TS port, 1 to 65535
  set multicast on|off           multicast output
  set multicast-ip A.B.C.D       the multicast address (224.0.0.0 to 239.255.255.255)
Each prints the configuration block as read back, the value set included.
)";
    }
    if (command == "reset") {
        return R"(Usage: kestrelctl reset
Sends the device's reset command.
)";
    }
    if (command == "scan") {
        return R"(Usage: kestrelctl scan [A.B.C.D/N | A.B.C.D-E | A.B.C.D] [--port N] [--timeout MS] [-j N]
                      [--force]
Sends the handshake to every address of the range (without one: the /24 of the first network
interface that is up), reads the configuration block and the flash id of each device that
answers, and lists its address, port, MAC, TS port, multicast setting and flash id. --json: one
object per device, then the summary.
  --port N       the devices' port (default 5000)
  --timeout MS   how long each address is waited for (default 1000)
  -j N           addresses waited for at once, 1 to 256 (default 64)
  --force        allow a range of more than 4096 addresses
Exit 0 when at least one device answered, 3 when none did.
)";
    }
    if (command == "batch") {
        return R"(Usage: kestrelctl batch PLAN [-j N] [--report FILE] [--mac-range FIRST-LAST]
                       [--mac-state FILE] [--check]
Runs the units of the CSV file PLAN, up to N at once (default: all, at most 16), each in its
own kestrelctl process with its trace in batch-logs/LABEL.log.
Columns: device (IP:PORT, required), image, mac (an address or auto), new_ip (A.B.C.D:PORT),
ts_port, multicast (on/off), multicast_ip, reset (yes/no), label.
Steps per unit: info; write with verify; mac, ts_port, multicast; new_ip; reset.
  -j N                 units at once
  --report FILE        JSON Lines report, one object per unit (default batch-report.jsonl),
                       and a CSV summary beside it
  --mac-range A-B      the MAC addresses "auto" hands out, never twice
  --mac-state FILE     where the next free MAC is kept (default kestrel-macs.state)
  --check              only validate the plan
Exit 0 when every unit succeeded, 1 when any failed, 2 for a bad plan.
)";
    }
    return nullptr;
}

}  // namespace kestrel::cli
