// Stands in for the editor program in the Linux GUI host's tests: it answers
// on descriptor 3 as the name of its page's folder says, with no display
// needed.
//   window  "w 42", then the page's first message "pg", then it echoes each
//           "p" text back as a page message and ends at the end of its socket
//   edits   "w 42", then a Cutoff gesture: "pb 0 8", "ps 0 7", "pe 0 7"
//   exit    ends at once, as a program whose libraries are missing does
//   hang    never answers
//   crash   "w 42", then dies of a signal
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

void say(const char *m) { send(3, m, std::strlen(m), MSG_NOSIGNAL); }

} // namespace

int main(int argc, char **argv)
{
    // "<folder>/<mode>/index.html"
    std::string mode = argc > 1 ? argv[1] : "";
    mode = mode.substr(0, mode.rfind('/'));
    mode = mode.substr(mode.rfind('/') + 1);
    if (mode == "exit")
        return 127;
    if (mode == "hang") {
        pause();
        return 0;
    }
    say("w 42");
    if (mode == "crash")
        raise(SIGKILL);
    if (mode == "edits") {
        for (const char *m : {"pb 0 41000000", "ps 0 40e00000", "pe 0 40e00000"})
            say(m);
    } else {
        say("pg");
    }
    char buf[65536];
    for (ssize_t n; (n = recv(3, buf, sizeof buf, 0)) > 0;)
        if (buf[0] == 'p')
            send(3, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    return 0;
}
