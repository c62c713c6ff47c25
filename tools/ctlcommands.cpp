#include "ctlcommands.h"

namespace {

const char *const HEAD =
    "Usage: k8thumbgenctl [--lpcid NAME | --cfg FILE] [--timeout S] [--json] COMMAND [ARG...]\n"
    "\n"
    "Sends requests to the thumbnail service and says in a sentence what it did,\n"
    "or why not; status, jobs and quarantine print a readable summary. --json,\n"
    "before the command or right after its word, prints the service's reply\n"
    "itself, one JSON object a line, for scripts.\n"
    "\n"
    "Options:\n"
    "  --lpcid NAME   the service's socket name or path\n"
    "  --cfg FILE     read the socket name (\"lpcid\") from this configuration file;\n"
    "                 without either, from the file $K8THUMBGEN_CFG names, else\n"
    "                 from /orby/etc/thumbgen/config.json, as the service reads it\n"
    "  --timeout S    seconds to wait for each reply (default 10; must be above 0)\n"
    "  --json         print each reply as the service sent it\n"
    "  -h, --help     this text\n"
    "  --version      the client's version\n"
    "\n"
    "Commands:\n";

const char *const TAIL =
    "\n"
    "Exit status: 0 when the reply's \"err\" is 0 or 10000 (and for any help reply),\n"
    "1 when the service answered with an error (for insert --recursive: refused\n"
    "any of the jobs), 2 when there was no answer or the arguments are wrong.\n";

}   // namespace

const QList<CtlCommand> &ctlCommands()
{
    static const QList<CtlCommand> commands{
        {"threads", "thumbgen_threads",
         "  threads                                  show the worker count\n"},
        {"setthreads", "thumbgen_setthreads",
         "  setthreads N                             change and store the worker count (N above 0;\n"
         "                                           the service keeps it from 1 to twice the\n"
         "                                           number of cores); prints the count set\n"},
        {"insert", "thumbgen_insert",
         "  insert LAYOUT SOURCE THUMBS [W H]        queue a layout job (pellowcloud: a folder;\n"
         "                                           snapvault: a folder or a file) and print its\n"
         "                                           number; the job walks the files of that one\n"
         "                                           folder, not its subfolders; SOURCE and THUMBS\n"
         "                                           are sent as absolute paths\n"},
        {"insert", "thumbgen_insert",
         "  insert --recursive LAYOUT SOURCE THUMBS [W H]\n"
         "                                           queue one such job per folder: SOURCE and\n"
         "                                           every folder under it, depth first in name\n"
         "                                           order, each with the same THUMBS, W and H;\n"
         "                                           THUMBS and what is under it, hidden folders\n"
         "                                           and links to folders are left out; prints\n"
         "                                           the jobs' numbers\n"},
        {"run", "thumbgen_insert",
         "  run COMMANDLINE [ARG...]                 queue a command job and print its number;\n"
         "                                           ${PARAM1}.. take the ARGs (trusted users only)\n"},
        {"status", "thumbgen_status",
         "  status                                   what the service is doing: jobs waiting and\n"
         "                                           running, files done since it started\n"},
        {"status", "thumbgen_status",
         "  status --watch [--until-idle]            the same every second, with the jobs and\n"
         "                                           files done since the watch began; redrawn\n"
         "                                           on a terminal, one line a second otherwise;\n"
         "                                           until Ctrl-C or, with --until-idle, until no\n"
         "                                           job waits or runs (exit status 0)\n"},
        {"jobs", "thumbgen_jobs",
         "  jobs [--limit N] [--offset N]            list the jobs waiting and running, oldest\n"
         "                                           first: at most --limit of them (100 by\n"
         "                                           default, 1000 at most), skipping the first\n"
         "                                           --offset (0 by default)\n"},
        {"cancel", "thumbgen_cancel",
         "  cancel QUUNO                             remove a waiting job, or stop a running one\n"
         "                                           at its next file, and say which (trusted\n"
         "                                           users only)\n"},
        {"quarantine", "thumbgen_quarantine",
         "  quarantine                               list the files walks leave out\n"},
        {"interfaces", "help_interfaces",
         "  interfaces                               list the service's commands\n"},
        {"help", "",
         "  help COMMAND                             a command's usage and the service's\n"
         "                                           description of it; COMMAND is the client's\n"
         "                                           word (insert) or the service's command\n"
         "                                           (thumbgen_insert)\n"},
        {"call", "",
         "  call JSON                                send any request object and print the reply,\n"
         "                                           e.g. '{\"cmd\":\"thumbgen_threads\"}'\n"},
    };
    return commands;
}

QList<CtlCommand> commandsNamed(const QString &name)
{
    QList<CtlCommand> named;
    for (const CtlCommand &command : ctlCommands()) {
        if (name == QLatin1String(command.name) || (*command.cmd && name == QLatin1String(command.cmd)))
            named << command;
    }
    return named;
}

QString usageText()
{
    QString text = QLatin1String(HEAD);
    for (const CtlCommand &command : ctlCommands())
        text += QLatin1String(command.usage);
    return text + QLatin1String(TAIL);
}
