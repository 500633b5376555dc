// The windows a desktop user needs, with the desktop's dialog program (zenity or kdialog,
// whichever is installed): the logon form and the message boxes. Each dialog is a child process
// whose answer comes through a pipe the poll loop watches, so the agent never waits for the user;
// the password travels only through that pipe, never in an argument or the environment. Without
// a dialog program, or outside a graphical session, a notification stands in.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/agent_state.h"
#include "core/cp1251.h"
#include "platform/events.h"
#include "platform/linux/tray_linux.h"
#include "platform/posix/posix_internal.h"
#include "res/resource_ids.h"
#include "session/engine.h"

extern char** environ;

namespace {

const char kFormTitle[] = "Подключение к Интернет";
const char kFormLogin[] = "Пользователь:";
const char kFormPassword[] = "Пароль:";
const char kFormRemember[] = "Сохранить имя и пароль";
const char kFormYes[] = "Да";
const char kFormNo[] = "Нет";
const char kStatsTitle[] = "Текущее состояние пользователя";
const char kRunLogin[] = "Чтобы подключиться, выполните в терминале: vornaagent login";
const char kBadCharacters[] = "В имени или пароле есть знаки, которые нельзя передать серверу";
const size_t kAnswerLimit = 4096;

enum DialogProgram { kNoProgram, kZenity, kKdialog };

// The kdialog form asks one field at a time.
enum FormStep { kStepNone, kStepForm, kStepLogin, kStepPassword, kStepRemember };

struct FormChild {
    pid_t pid;
    int fd;
    FormStep step;
    std::string answer;
    std::string login;
    std::string password;
};
FormChild gForm = {0, -1, kStepNone, "", "", ""};

// Boxes run on their own; finished ones are collected at the end of a round.
const int kBoxSlots = 8;
pid_t gBoxes[kBoxSlots];
bool gStatsPending = false;

bool GraphicalSession() {
    const char* x = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (x && x[0]) || (wayland && wayland[0]);
}

bool OnPath(const char* program) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// KDE's own where both are installed there, zenity elsewhere.
DialogProgram FindProgram() {
    if (!GraphicalSession()) return kNoProgram;
    const char* desktop = getenv("XDG_CURRENT_DESKTOP");
    bool kde = desktop && strstr(desktop, "KDE") != nullptr;
    if (kde && OnPath("kdialog")) return kKdialog;
    if (OnPath("zenity")) return kZenity;
    return OnPath("kdialog") ? kKdialog : kNoProgram;
}

// Runs `words` (UTF-8) with standard input from /dev/null and standard output into a pipe when
// `out` is given (else to /dev/null); 0 when it could not start.
pid_t Spawn(const std::vector<std::string>& words, int* out) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (out && pipe2(pipeFds, O_CLOEXEC) != 0) return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    if (out) {
        close(pipeFds[1]);
        if (pid == 0) {
            close(pipeFds[0]);
        } else {
            fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
            *out = pipeFds[0];
        }
    }
    return pid;
}

std::string Utf8(const char* agentText) { return LinuxBusText(agentText, false); }

void Wipe(std::string* secret) {
    if (!secret->empty()) memset(&(*secret)[0], 0, secret->size());
    secret->clear();
}

// ---- The logon form ----

void FormReady(int fd, short revents);
short WantForm(int) { return POLLIN; }

bool StartStep(FormStep step) {
    DialogProgram program = FindProgram();
    std::string title = Utf8(kFormTitle);
    std::vector<std::string> words;
    if (step == kStepForm) {
        words = {"zenity",
                 "--forms",
                 "--title=" + title,
                 "--text=" + title,
                 "--separator=\n",
                 "--add-entry=" + Utf8(kFormLogin),
                 "--add-password=" + Utf8(kFormPassword)};
        if (gAgent.view.form.rememberAllowed) {
            words.push_back("--add-combo=" + Utf8(kFormRemember));
            words.push_back("--combo-values=" + Utf8(kFormNo) + "|" + Utf8(kFormYes));
        }
    } else if (step == kStepLogin) {
        words = {"kdialog",    "--title",        title,
                 "--inputbox", Utf8(kFormLogin), Utf8(gAgent.view.form.login)};
    } else if (step == kStepPassword) {
        words = {"kdialog", "--title", title, "--password", Utf8(kFormPassword)};
    } else {
        words = {"kdialog", "--title", title, "--yesno", Utf8(kFormRemember) + "?"};
    }
    if (program == kNoProgram || (program == kZenity) != (step == kStepForm)) return false;
    int fd = -1;
    pid_t pid = Spawn(words, &fd);
    if (pid == 0) return false;
    if (!PosixWatchAdd({fd, WantForm, FormReady})) {
        close(fd);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return false;
    }
    gForm.pid = pid;
    gForm.fd = fd;
    gForm.step = step;
    return true;
}

void EndForm() {
    Wipe(&gForm.answer);
    Wipe(&gForm.password);
    gForm.login.clear();
    gForm.step = kStepNone;
}

void LogOn(const std::string& login, const std::string& password, bool remember) {
    std::string agentLogin, agentPassword, why;
    if (Utf8ToCp1251(login, &agentLogin, &why) && Utf8ToCp1251(password, &agentPassword, &why)) {
        CommandLogOn(agentLogin.c_str(), agentPassword.c_str(), remember);
    } else {
        LinuxNotify(kFormTitle, kBadCharacters);
    }
    Wipe(&agentPassword);
}

// The line of the answer without its line end.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

void FormAnswered(bool accepted) {
    FormStep step = gForm.step;
    std::string answer = FirstLine(gForm.answer);
    if (!accepted && step != kStepRemember) return EndForm();
    if (step == kStepForm) {
        size_t first = gForm.answer.find('\n');
        size_t second = first == std::string::npos ? first : gForm.answer.find('\n', first + 1);
        std::string login = gForm.answer.substr(0, first);
        std::string password = first == std::string::npos
                                   ? std::string()
                                   : gForm.answer.substr(first + 1, second - first - 1);
        std::string remember = second == std::string::npos
                                   ? std::string()
                                   : FirstLine(gForm.answer.substr(second + 1));
        LogOn(login, password, remember == Utf8(kFormYes));
        Wipe(&password);
        return EndForm();
    }
    if (step == kStepLogin) {
        gForm.login = answer;
        if (!StartStep(kStepPassword)) EndForm();
        return;
    }
    if (step == kStepPassword) {
        gForm.password = answer;
        Wipe(&answer);
        if (gAgent.view.form.rememberAllowed && StartStep(kStepRemember)) return;
        LogOn(gForm.login, gForm.password, false);
        return EndForm();
    }
    LogOn(gForm.login, gForm.password, accepted);
    EndForm();
}

void FormReady(int fd, short) {
    char chunk[512];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0 && gForm.answer.size() + static_cast<size_t>(n) <= kAnswerLimit) {
        gForm.answer.append(chunk, static_cast<size_t>(n));
        memset(chunk, 0, sizeof chunk);
        return;
    }
    memset(chunk, 0, sizeof chunk);
    // The end of the answer (or one past all bounds): the child has closed its output.
    PosixWatchRemove(fd);
    close(fd);
    gForm.fd = -1;
    int status = 0;
    if (n > 0) kill(gForm.pid, SIGTERM);
    waitpid(gForm.pid, &status, 0);
    gForm.pid = 0;
    bool accepted = n == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    FormAnswered(accepted);
}

void AskLogon() {
    if (gForm.step != kStepNone) return;  // one form at a time
    DialogProgram program = FindProgram();
    if (program == kZenity ? StartStep(kStepForm) : StartStep(kStepLogin)) return;
    LinuxNotify(kFormTitle, kRunLogin);
}

// ---- Boxes ----

void CollectBoxes() {
    for (pid_t& pid : gBoxes)
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) != 0) pid = 0;
}

bool ShowBox(const char* text, const char* caption, PlatBoxKind kind) {
    DialogProgram program = FindProgram();
    pid_t* slot = nullptr;
    for (pid_t& pid : gBoxes)
        if (pid == 0) slot = &pid;
    if (program == kNoProgram || slot == nullptr) return false;
    std::vector<std::string> words;
    if (program == kZenity) {
        const char* type = kind == kBoxError     ? "--error"
                           : kind == kBoxWarning ? "--warning"
                                                 : "--info";
        words = {"zenity", type, "--no-markup", "--title=" + Utf8(caption), "--text=" + Utf8(text)};
    } else {
        const char* type = kind == kBoxError     ? "--error"
                           : kind == kBoxWarning ? "--sorry"
                                                 : "--msgbox";
        words = {"kdialog", "--title", Utf8(caption), type, Utf8(text)};
    }
    *slot = Spawn(words, nullptr);
    return *slot != 0;
}

}  // namespace

void LinuxDialogShowWindow(PlatWindowId which, bool visible) {
    if (which == kWindowStats) {
        gStatsPending = visible && GraphicalSession();
        return;
    }
    if (!visible) return;
    // Connect chosen while the core holds a password block (remembered, or of this run's last
    // logon): the logon window would stand filled in, and its Connect button would log on with it.
    if (LinuxConnectChosen() && gAgent.useSavedPassword && gAgent.view.form.login[0] != '\0') {
        PlatPostCommand(IDC_CONNECT);
        return;
    }
    if (GraphicalSession()) AskLogon();
}

void LinuxDialogStatistics() {
    if (gAgent.statsWindowVisible && GraphicalSession()) gStatsPending = true;
}

void LinuxDialogBox(const char* text, const char* caption, PlatBoxKind kind) {
    if (!GraphicalSession()) return;
    if (!ShowBox(text, caption, kind)) LinuxNotify(caption, text);
}

// The statistics are shown once the request that fetches them has ended; shown, they count as a
// window the user has closed again.
void LinuxDialogRoundEnded() {
    CollectBoxes();
    if (!gStatsPending || gAgent.connState != kIdle) return;
    gStatsPending = false;
    const char* text =
        gAgent.view.statistics[0] != '\0' ? gAgent.view.statistics : gAgent.view.tooltip;
    LinuxNotify(kStatsTitle, text);
    OnWindowClose(kWindowStats);
}
