#include "app/option_table.hpp"

namespace shuffler {

const option_spec option_table[] = {
    {"connect", 'c', "ADDR",
     "connect to a peer at host:port (repeatable; \":port\": localhost),\n"
     "or @FILE: at the address a listener wrote there (waits for it), with\n"
     "the job's secret the file holds",
     R"(Connect to a peer at
.IR host : port
(repeatable; an empty host is localhost, an IPv6 address is written
.RI [ addr ]: port ;
the port is a decimal from 1 to 65535).
Refused connections are tried again until the deadline.
.BI @ PATH
reads the address from the port file
.I PATH
written by a listener with
.BR \-\-port\-file ,
waiting for the file until the deadline, and reading it again while connections are refused
or a connect goes unanswered for 2 seconds.)"},
    {"listen", 'l', "ADDR",
     "listen for peers on host:port (\":port\" is localhost; port 0: any\n"
     "free port, see --port-file; 0.0.0.0:0 for peers on other hosts)",
     R"(Listen for peers on
.IR host : port .
.RI : port
listens on localhost only;
.B 0.0.0.0
or
.B [::]
listens on every interface.
The port is a decimal from 0 to 65535; port 0 lets the system pick a free port; use it with
.BR \-\-port\-file .)"},
    {"timeout", 't', "SECONDS",
     "run deadline from the end of start-up (default 60): connecting,\n"
     "accepting and serving late workers stop then; a worker fails\n"
     "(or drops a stray) when nothing has come from a peer by then",
     R"(Run deadline, counted from the end of start\-up (default 60, 0 to 2147483647): connecting,
accepting, waiting for a port file and, on the input side, serving late workers stop then.
A worker whose input side has sent nothing by then fails
.RB ( "nothing received before the deadline" );
a listening worker drops such a connection as a stray.)"},
    {"groupid", 'g', "N",
     "negative (default -1): input side; 0 to 65535: worker for group N",
     R"(Negative (default \-1): the input side; 0 to 65535: a worker for group
.IR N .)"},
    {"format", 'f', "NAME",
     "input: message, gzip, fastq, sam, bam or cram (default: from the\n"
     "file names); output: text, fastq or sam (default text; all write the\n"
     "payload), or bam (the SAM text received, written as BAM)",
     R"(Input side:
.BR message ,
.BR gzip ,
.BR fastq ,
.BR sam ,
.B bam
or
.BR cram ;
by default taken from the file names (two files are a FASTQ pair;
.IR *.fq ,
.I *.fastq
are FASTQ,
.I *.sam
is SAM, each also with
.IR .gz ;
.I *.bam
and
.I *.cram
are BAM and CRAM, decoded with htslib into SAM text and sharded as SAM; any other
.I *.gz
is a gzip'd message stream; anything else is a message stream).
BAM or CRAM bytes given as
.B sam
are recognised by their magic and decoded as well.
Workers:
.BR text ,
.B fastq
or
.BR sam ,
which all write the payload unchanged (the default, text, is SAM text for alignments), or
.BR bam ,
which writes the SAM text received as BGZF-compressed BAM with its header, in the order
received.)"},
    {"option", 'O', "KEY=VALUE",
     "blksize=BASES: FASTQ bases per block (default 1000000)\n"
     "tag=name|none|every: FASTQ records tagged \" #N#\" (default name:\n"
     "  each block's first; none: no tag, the order cannot be rebuilt)\n"
     "check_pairs=yes|no: mates of a FASTQ pair share a name (yes)\n"
     "s<k>=INTERVALS: SAM shard k, as chr1,chr2:1-5000,chr3:100+50,\n"
     "  {HLA-A*01:01}:1-100 or @FILE (.bed, .interval_list, else a list)\n"
     "shards=N: SAM shards 1 to N, equal pieces of the header's genome\n"
     "pad=BASES: also copy alignments reaching that near a shard (0)\n"
     "reference=FILE: check header and shards against a .fai or .dict",
     R"(Settings of the input routine, each key once:
.BI blksize= BASES
(FASTQ bases per block, default 1000000),
.BR tag=name | none | every
(which FASTQ records end their name with the tag
.BI " #" N #\fR:
each block's first record of each file, none, or every record; default
.BR name ),
.BR check_pairs=yes | no
(the mates of a FASTQ pair must share their name's first word, without a trailing /1 or /2;
default
.BR yes ),
.BI s k = INTERVALS
(SAM shard
.IR k ,
for example
.BR chr1,chr2:1\-5000,chr3:100+50 ;
intervals are 1\-based and closed, a bare contig name is the whole contig, a name with colons
goes in braces, and
.BI @ FILE
reads a BED file, an interval list or a list of items),
.BI shards= N
(SAM shards 1 to
.IR N :
equal pieces of the genome of the header's @SQ lines),
.BI pad= BASES
(also copy each alignment to the other shards its span reaches within that distance; default 0)
and
.BI reference= FILE
(check the header and the shards against a
.I .fai
or
.I .dict
file).
Interval files and the reference must be regular files, with lines of at most 64 KiB.)"},
    {"pool_size", 'S', "BYTES",
     "buffer pool size with an optional K, M or G suffix (default:\n"
     "input side 256M, or 64M + 8M per expected worker if more; worker 64M)",
     R"(Buffer pool size, with an optional K, M or G suffix (default: input side 256M, or 64M plus 8M per
expected worker when more; worker 64M).)"},
    {"max_groups", 'G', "N",
     "number of groups, 1 to 65536 (default 1024)",
     R"(Number of groups, 1 to 65536 (default 1024).)"},
    {"workers", 'w', "N",
     "input side with --listen: workers to serve, 1 to 65535 (a peer that\n"
     "leaves having taken nothing is not one)",
     R"(Input side with
.BR \-l :
the number of workers to serve, 1 to 65535: a worker counts once it has taken the end mark
or failed after taking data; a peer that leaves having taken nothing does not.)"},
    {"peer-timeout", peer_timeout_option, "SECONDS",
     "drop a peer that answers nothing this long, or that holds\n"
     "messages and acknowledges none of them this long (default 60)",
     R"(Drop a peer that answers nothing (no keepalive probe) for this long, or that holds messages
and acknowledges none of them for this long, 1 to 86400 (default 60).
A slow worker acknowledges now and then and keeps its connection; a stopped or hung one is
dropped, and what it held is sent again (or, if it had written anything, the run fails).)"},
    {"port-file", port_file_option, "PATH",
     "with --listen: once listening, write host:port there for -c @PATH\n"
     "(mode 0600, replaced atomically, removed when accepting ends), and\n"
     "a secret that makes the job TLS, unless --secret-file or --insecure;\n"
     "a run that fails or is refused leaves failed=REASON there instead",
     R"(With
.BR \-l :
once listening, write the address peers should connect to, as
.IR host : port
on the first line, to
.IR PATH .
The host is the machine's name when listening on every interface.
The file is created new with mode 0600 under a random temporary name beside
.I PATH
and renamed, so a reader never sees part of it; it is removed when the listener stops
accepting.
A run that fails, or whose command line is refused, replaces it the same way with the one line
.BI failed= REASON
and keeps it: a peer reading it fails at once with that reason.
Something at
.I PATH
that is not a regular file of the user's own (a link, a FIFO, another user's file) is refused
with one line.
Unless
.B \-\-secret\-file
or
.B \-\-insecure
is given, the listener makes a random secret for the job and writes it on a second line,
.BI secret= HEX\fR,
and every connection of the job uses TLS with it (see
.BR SECURITY ).
Readers take the first line and the secret line, and ignore any other.)"},
    {"progress", progress_option, nullptr,
     "a status line on standard error about once a second, and the\n"
     "summary at the end",
     R"(Print a status line on standard error about once a second: on the input side the bytes and
records read, the read rate, the messages queued, the workers connected and the bytes served per
group; on a worker the bytes received and written and the write rate.
On a terminal the line is redrawn in place; otherwise each update is a line of its own.
Implies
.BR \-\-summary .)"},
    {"summary", summary_option, nullptr,
     "at the end, one line per worker on the input side (address, group,\n"
     "messages, records, bytes, seconds), or the worker's totals",
     R"(At the end of the run, print the totals on standard error: on the input side one line for the
input and one per worker served (address, group, messages, records, bytes, seconds); on a worker
its own totals, and on the input side a line with the bytes spilled and read back and the spill
thread's rates.)"},
    {"spill-dir", spill_dir_option, "DIR",
     "input side: where queued messages go when the pool is full and\n"
     "a worker of another group waits, so a slow group never stalls the\n"
     "others (default $TMPDIR or /tmp; \"none\": the producer waits\n"
     "for blocks instead)",
     R"(Input side: when the producer has waited 50 ms for pool blocks with none coming back while a
worker waits on a group with nothing for it, write whole queued messages of the group with the largest backlog to a spill
file in
.IR DIR ,
freeing their blocks, and read them back in order as the group's workers ask for them; so a slow
or absent worker never holds back the other groups. The file is unlinked as soon as it is
opened: nothing is left behind, whatever ends the run. A failed write or read, or a message that
reads back with a wrong checksum or header, is one line naming the file and exit status 255.
Default:
.B $TMPDIR
or
.BR /tmp ;
.B none
turns spilling off, and the producer waits for blocks. Only messages of one 4 MiB block are
spilled; a larger one, and those queued after it, stay in the pool.)"},
    {"spill-max", spill_max_option, "SIZE",
     "most bytes spilled at a time, with an optional K, M or G suffix\n"
     "(default half the spill directory's free space at start)",
     R"(Input side: at most
.I SIZE
bytes (optional K, M or G suffix) in the spill file at a time; at the cap the producer waits for
blocks. Default: half the spill directory's free space at start.)"},
    {"secret-file", secret_file_option, "PATH",
     "TLS 1.3 on every connection, keyed by the secret in PATH (your own\n"
     "file, mode 0600, 16 bytes or more); every peer needs the same secret",
     R"(Use TLS 1.3 on every connection, with a pre\-shared key derived from the secret held in
.I PATH
(its text, without trailing white space); every process of the job needs the same secret.
A peer without it fails the TLS handshake.
The file must be the user's own, readable by its owner only, and hold at least 16 bytes of
secret: a file that group or others may read or write is refused (status 1) with the advice
.BI "chmod 600 " PATH\fR,
and so are another user's file (who chose the secret), a shorter secret and anything but a
regular file.)"},
    {"insecure", insecure_option, nullptr,
     "plain TCP even with --port-file or -c @FILE, which otherwise make\n"
     "the job's connections TLS with a secret the port file carries; and\n"
     "loopback peers of other users are no longer refused",
     R"(Plain TCP, even with
.B \-\-port\-file
(no secret is made or written) or
.BI \-c " @PATH"
(a secret in the port file is not used); and on a loopback address, peers of other users are
no longer refused (see
.BR SECURITY ).)"},
    {"plan", plan_option, nullptr,
     "run no job: print the regions of every group as BED lines (contig,\n"
     "start, end, group) for the -O shard keys and the contigs of the SAM\n"
     "header given (a file, or - for standard input) or of -O reference",
     R"(Run no job: print, for the
.B \-O
shard keys, one BED line (contig, 0\-based start, exclusive end, group) per run of bases that
one group receives, over the contigs of the SAM header given as the file argument
.RB ( \- :
standard input) or, without one, of
.BR reference= .
Group 0 is every base no shard holds.)"},
    {"threads", threads_option, "N",
     "htslib's threads for each BAM, CRAM or BGZF file read or BAM\n"
     "file written, 1 to 1024 (default: the cores available)",
     R"(htslib's threads for each BAM, CRAM or BGZF-compressed file read, or BAM file written, 1 to
1024 (default: the cores available). A BGZF file is one bgzip wrote whole: with 3 threads or
more its members are inflated side by side.)"},
    {"compression-level", level_option, "LEVEL",
     "with -f bam on the output side: BGZF compression level 0 to 9\n"
     "(default htslib's, 6)",
     R"(With
.B \-f bam
on a worker: the BGZF compression level, 0 to 9 (default htslib's, 6).)"},
    {"help", 'h', nullptr,
     "print this help and exit",
     R"(Print the help text and exit.)"},
    {"version", 'V', nullptr,
     "print the version and exit",
     R"(Print the version and exit.)"},
    {nullptr, 0, nullptr, nullptr, nullptr},
};

namespace {

// Escapes what roff reads as a hyphen: option names are written with minus signs.
std::string roff(const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

// The argument in italics: "KEY=VALUE" as KEY and VALUE in italics around a plain '='.
std::string roff_argument(const std::string& argument) {
    const std::size_t eq = argument.find('=');
    if (eq == std::string::npos)
        return "\\fI" + argument + "\\fR";
    return "\\fI" + argument.substr(0, eq) + "\\fR=\\fI" + argument.substr(eq + 1) + "\\fR";
}

} // namespace

std::string manual_options() {
    std::string page;
    for (const option_spec* o = option_table; o->name; ++o) {
        const std::string name = "\\-\\-" + roff(o->name);
        page += ".TP\n";
        if (has_letter(*o)) {
            page += ".BR \\-" + std::string(1, char(o->id)) + " \", \" " + name;
            if (o->argument)
                page += " \" " + roff_argument(o->argument) + "\"";
        } else if (o->argument) {
            page += ".BI " + name + " \" " + o->argument + "\"";
        } else {
            page += ".B " + name;
        }
        page += "\n" + std::string(o->manual) + "\n";
    }
    return page;
}

} // namespace shuffler
