#include "cli/command_table.h"

#include "cli/exit_codes.h"

namespace kestrel::cli {

const std::vector<OptionRow>& global_option_rows() {
    static const std::vector<OptionRow> rows = {
        {"--device", "", "HOST:PORT", ValueKind::Device, "",
         "the device, for example 192.168.1.50:5000; a host name is resolved once to an IPv4 "
         "address. "
         "Without it the device comes from KESTREL_DEVICE"},
        {"--json", "", "", ValueKind::Other, "",
         "one JSON object per command on stdout: its results and figures, and on failure error, "
         "code and "
         "exit_code"},
        {"--progress", "", "MODE", ValueKind::Choice, "auto bar lines none json",
         "how progress is shown on stderr: auto (the default: bar on a terminal, lines otherwise), "
         "bar (the "
         "stage, the percentage, the rate and the time left), lines (a line every few seconds), "
         "none, or json "
         "(one object per line, for programs)"},
        {"--trace", "", "FILE", ValueKind::File, "",
         "write the debug trace (link faults, the device's answers) to FILE"},
        {"--verbose", "-v", "", ValueKind::Other, "", "write the debug trace to stderr"},
        {"--window", "", "N|auto", ValueKind::Other, "",
         "keep up to N page-read requests in flight (1 to 64; 1, one at a time as the device "
         "is described, unless given or set by KESTREL_WINDOW), or auto: start at 4 and grow up "
         "to 32 while pages come clean. Either halves when losses look like the device's "
         "receive queue overflowing. Reads, verify, the read-back after programming and the "
         "status poll after each page program use it; "
         "page loads and settings stay one at a time. A device whose receive queue holds fewer "
         "requests drops the rest: the read slows down but stays exact"},
        {"--help", "-h", "", ValueKind::Other, "",
         "print the usage, the commands, the options and the exit codes, and exit; COMMAND --help "
         "describes one command"},
        {"--version", "", "", ValueKind::Other, "",
         "print the program's name and version and exit"},
    };
    return rows;
}

std::string_view global_synopsis() {
    return "[--device HOST:PORT] [--json] [--progress auto|bar|lines|none|json] [--trace FILE] "
           "[-v] [--window N|auto] COMMAND "
           "[ARGS...]";
}

namespace {

CommandRow info_row() {
    return {"info",
            "",
            "the configuration block and the flash chip",
            "Shakes hands with the device and prints its MAC, IP address, port, TS port, multicast "
            "setting and "
            "address, and the flash chip's identification. The --json fields are mac, ip, port, "
            "ts_port, "
            "multicast, multicast_ip, flash_id and flash_ok.",
            ValueKind::Other,
            {},
            {},
            "Exit 4 when the flash chip is not the expected c22016."};
}

CommandRow read_row() {
    return {
        "read",
        "FILE [--verify] [--offset A] [--length N]",
        "the 4 MiB flash (or --offset A --length N of it) into FILE",
        "Reads the whole 4 MiB flash, or N bytes from chip address A, into FILE. FILE appears only "
        "when the "
        "read is complete; its folder's free space is checked first. A and N are decimal or 0x "
        "hex.",
        ValueKind::File,
        {{"--verify", "", "", ValueKind::Other, "", "read twice and compare before writing FILE"},
         {"--offset", "", "A", ValueKind::Other, "", "start at chip address A (default 0)"},
         {"--length", "", "N", ValueKind::Other, "",
          "read N bytes (default: to the end of the chip)"}},
        {},
        ""};
}

CommandRow write_row() {
    return {"write",
            "IMAGE [--no-skip-blank] [--no-verify | --verify-all] [--resume] [--backup FILE] "
            "[--offset A [--keep-rest]] [--truncate]",
            "erase, program and verify the flash from IMAGE",
            "Closes RTP channels 0 to 63, checks the flash chip, erases it (13 s and more), "
            "programs IMAGE and "
            "reads the programmed pages back. The chip has only a whole-chip erase: without "
            "--keep-rest "
            "everything outside the image ends blank. A mismatch names the first bad page.",
            ValueKind::File,
            {{"--no-skip-blank", "", "", ValueKind::Other, "",
              "also program image pages that are all FFh"},
             {"--no-verify", "", "", ValueKind::Other, "", "no read-back"},
             {"--verify-all", "", "", ValueKind::Other, "", "read back the whole chip"},
             {"--resume", "", "", ValueKind::Other, "",
              "continue an interrupted or failed write without a new erase when every page is "
              "right or still "
              "blank (erases otherwise)"},
             {"--backup", "", "FILE", ValueKind::File, "",
              "first read the whole chip into FILE; nothing is erased when that fails"},
             {"--offset", "", "A", ValueKind::Other, "",
              "put IMAGE at chip address A (decimal or 0x hex)"},
             {"--keep-rest", "", "", ValueKind::Other, "",
              "read the chip first and program it back around IMAGE, so everything outside IMAGE "
              "stays as it "
              "was"},
             {"--truncate", "", "", ValueKind::Other, "",
              "write the part of an image that fits instead of refusing a longer one (exit 2)"}},
            {},
            "Ctrl-C stops between pages and says what the device holds (for example \"erased; "
            "pages 0 to 1233 "
            "programmed; run write --resume\"). During the erase the first Ctrl-C says at once "
            "that the write "
            "stops after it, and a second Ctrl-C stops at once."};
}

CommandRow verify_row() {
    return {"verify",
            "IMAGE [--offset A | --against FILE]",
            "compare the device's flash with IMAGE (--against FILE: with a file)",
            "Reads the device's pages that IMAGE covers and compares them with IMAGE; exit 1 names "
            "the first "
            "differing address.",
            ValueKind::File,
            {{"--offset", "", "A", ValueKind::Other, "", "compare with the chip from address A on"},
             {"--against", "", "FILE", ValueKind::File, "",
              "compare every byte of IMAGE with FILE instead (no device needed); FILE may go on "
              "past IMAGE, as "
              "a dump of the chip does"}},
            {},
            ""};
}

CommandRow set_row() {
    return {
        "set",
        "WHAT VALUE",
        "set ip, mac, ts-port, multicast or multicast-ip",
        "Runs the same sequence and checks as the window's Apply button, then prints the "
        "configuration "
        "block as read back, the value set included. A value that is not in effect (a multicast "
        "address "
        "while multicast is off) is marked so beside it.",
        ValueKind::Choice,
        {},
        {{"ip", "A.B.C.D:PORT", "", "the device's address and port (then talks to it there)"},
         {"mac", "XX:XX:XX:XX:XX:XX", "", "the MAC address"},
         {"ts-port", "N", "", "the TS port, 1 to 65535"},
         {"multicast", "on|off", "on off", "multicast output"},
         {"multicast-ip", "A.B.C.D", "", "the multicast address (224.0.0.0 to 239.255.255.255)"}},
        ""};
}

CommandRow scan_row() {
    return {
        "scan",
        "[RANGE] [--port N] [--timeout MS] [-j N] [--force]",
        "find the devices in RANGE and list their configuration",
        "RANGE is A.B.C.D/N, A.B.C.D-E or one address A.B.C.D; without it, the /24 of the first "
        "network "
        "interface that is up. Sends the handshake to every address of the range, reads the "
        "configuration block and the flash id of each device that answers, "
        "and lists its address, port, MAC, TS port, multicast setting and flash id. With --json: "
        "one object "
        "per device, then the summary.",
        ValueKind::Other,
        {{"--port", "", "N", ValueKind::Other, "", "the devices' port (default 5000)"},
         {"--timeout", "", "MS", ValueKind::Other, "",
          "how long each address is waited for (default 1000)"},
         {"-j", "", "N", ValueKind::Other, "",
          "addresses waited for at once, 1 to 256 (default 64)"},
         {"--force", "", "", ValueKind::Other, "", "allow a range of more than 4096 addresses"}},
        {},
        "Exit 0 when at least one device answered, 3 when none did."};
}

CommandRow batch_row() {
    return {"batch",
            "PLAN [-j N] [--report FILE] [--mac-range FIRST-LAST] [--mac-state FILE] [--check]",
            "provision many devices from a CSV plan",
            "Runs the units of the CSV file PLAN, up to N at once (default: all, at most 16), each "
            "in its own "
            "kestrelctl process with its trace in batch-logs/LABEL.log.\n"
            "Columns: device (HOST:PORT, required; a host name is resolved once to an IPv4 "
            "address), image, mac "
            "(an address or auto), new_ip (A.B.C.D:PORT), ts_port, multicast (on or off), "
            "multicast_ip, reset "
            "(yes or no), label, window (1 to 64 requests in flight, or auto; passed to the "
            "unit's kestrelctl as --window).\n"
            "Steps per unit: info; write with verify; mac, ts_port, multicast; new_ip; reset.",
            ValueKind::File,
            {{"-j", "", "N", ValueKind::Other, "", "units at once"},
             {"--report", "", "FILE", ValueKind::File, "",
              "the JSON Lines report, one object per unit (default batch-report.jsonl), and a CSV "
              "summary "
              "beside it"},
             {"--mac-range", "", "FIRST-LAST", ValueKind::Other, "",
              "the MAC addresses that \"auto\" hands out, never twice"},
             {"--mac-state", "", "FILE", ValueKind::File, "",
              "where the addresses handed out are kept (default kestrel-macs.state)"},
             {"--check", "", "", ValueKind::Other, "", "only check the plan"}},
            {},
            "Exit 0 when every unit succeeded, 1 when any failed, 2 for a bad plan."};
}

CommandRow help_row() {
    return {"help",
            "[COMMAND]",
            "this help, or a command's",
            "Prints the main help, or the help of COMMAND (as kestrelctl COMMAND --help does).",
            ValueKind::Command,
            {},
            {},
            ""};
}

// The batch runs each unit as "kestrelctl unit" with the plan's cells as options.
CommandRow unit_row() {
    CommandRow row{"unit", "", "", "One unit of a batch.", ValueKind::Other, {}, {}, "", true};
    for (const std::string_view name : {"--label", "--image", "--mac", "--ts-port", "--multicast",
                                        "--multicast-ip", "--new-ip"}) {
        row.options.push_back({name, "", "VALUE", ValueKind::Other, "", ""});
    }
    row.options.push_back({"--reset", "", "", ValueKind::Other, "", ""});
    return row;
}

}  // namespace

const std::vector<CommandRow>& command_rows() {
    static const std::vector<CommandRow> rows = {info_row(),
                                                 read_row(),
                                                 write_row(),
                                                 verify_row(),
                                                 set_row(),
                                                 {"reset",
                                                  "",
                                                  "reset the device",
                                                  "Sends the device's reset command.",
                                                  ValueKind::Other,
                                                  {},
                                                  {},
                                                  ""},
                                                 scan_row(),
                                                 batch_row(),
                                                 help_row(),
                                                 unit_row()};
    return rows;
}

const std::vector<ExitRow>& exit_rows() {
    static const std::vector<ExitRow> rows = {
        {kExitOk, "success"},
        {kExitDiffers, "the device's data differs (verify)"},
        {kExitUsage, "bad usage or input; nothing was sent to the device"},
        {kExitNoDevice, "no device: no answer, or the handshake failed, within 3 s"},
        {kExitFlashChip, "wrong or no flash chip"},
        {kExitFile, "file error"},
        {kExitLink, "the link gave up: faults beyond the retry budget"},
        {kExitInterrupted, "interrupted (Ctrl-C); the output says what the device holds"},
    };
    return rows;
}

}  // namespace kestrel::cli
