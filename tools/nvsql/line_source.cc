#include "tools/nvsql/line_source.h"

#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <clocale>
#include <cstdlib>
#include <cwchar>

namespace nvsql {
namespace {

void strip_line_end(std::string* line) {
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
}

// mkdir -p with mode 0700 for the directories it creates.
void make_directories(const std::string& dir) {
  for (size_t slash = dir.find('/', 1); ; slash = dir.find('/', slash + 1)) {
    mkdir(dir.substr(0, slash).c_str(), 0700);
    if (slash == std::string::npos) break;
  }
}

class TerminalSource : public LineSource {
 public:
  TerminalSource(std::string history_file, Interrupts* interrupts)
      : history_file_(std::move(history_file)), interrupts_(interrupts) {}

  ~TerminalSource() override {
    if (editor_ != nullptr) el_end(editor_);
    if (history_ != nullptr) history_end(history_);
  }

  bool start() {
    std::setlocale(LC_CTYPE, "");  // libedit reads and shows UTF-8 input by the locale
    // Prompts and editing go to the terminal: standard output when it is one.
    std::FILE* out = isatty(STDOUT_FILENO) ? stdout : stderr;
    editor_ = el_init("nvsql", stdin, out, stderr);
    history_ = history_init();
    if (editor_ == nullptr || history_ == nullptr) return false;
    HistEvent event;
    history(history_, &event, H_SETSIZE, 2000);
    history(history_, &event, H_SETUNIQUE, 1);
    if (!history_file_.empty()) history(history_, &event, H_LOAD, history_file_.c_str());
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_PROMPT, &TerminalSource::prompt_of);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_HIST, history, history_);
    el_set(editor_, EL_SIGNAL, 1);  // the terminal is restored around signals
    el_set(editor_, EL_GETCFN, &TerminalSource::read_char);
    el_source(editor_, nullptr);    // ~/.editrc
    return true;
  }

  Read read(const char* prompt, std::string* line) override {
    prompt_ = prompt;
    int count = 0;
    errno = 0;
    const char* text = el_gets(editor_, &count);
    if (text == nullptr || count <= 0) {
      if (count < 0 && errno == EINTR) {
        if (interrupts_ != nullptr) interrupts_->take();
        el_reset(editor_);
        std::fputs("\n", stdout);
        return Read::kInterrupted;
      }
      return Read::kEnd;
    }
    line->assign(text, static_cast<size_t>(count));
    strip_line_end(line);
    return Read::kLine;
  }

  void remember(const std::string& entry) override {
    HistEvent event;
    history(history_, &event, H_ENTER, entry.c_str());
    save();
  }

 private:
  // Reads one character for libedit, waiting on the terminal and on the Ctrl-C pipe at once:
  // a SIGINT that lands while libedit is busy between two reads still ends the line.
  static int read_char(EditLine* editor, wchar_t* out) {
    void* self = nullptr;
    el_get(editor, EL_CLIENTDATA, &self);
    Interrupts* interrupts = static_cast<TerminalSource*>(self)->interrupts_;
    std::mbstate_t state{};
    for (;;) {
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0},
                       {interrupts != nullptr ? interrupts->fd() : -1, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;  // a SIGINT shows in the pipe on the next round
        return -1;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        errno = EINTR;
        return -1;
      }
      char byte = 0;
      const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
      if (n == 0) return 0;
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      wchar_t wide = 0;
      const size_t used = std::mbrtowc(&wide, &byte, 1, &state);
      if (used == static_cast<size_t>(-2)) continue;  // more bytes of this character to come
      const bool invalid = used == static_cast<size_t>(-1);
      *out = invalid ? static_cast<wchar_t>(static_cast<unsigned char>(byte)) : wide;
      return 1;
    }
  }

  static const char* prompt_of(EditLine* editor) {
    void* self = nullptr;
    el_get(editor, EL_CLIENTDATA, &self);
    return static_cast<TerminalSource*>(self)->prompt_.c_str();
  }

  // Written after each entry, so that no statement is lost if nvsql is killed. The file is
  // made (and kept) private: statements may hold data worth protecting.
  void save() {
    if (history_file_.empty()) return;
    make_directories(history_file_.substr(0, history_file_.rfind('/')));
    const int fd = open(history_file_.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    if (fchmod(fd, 0600) != 0) {
      close(fd);
      return;
    }
    std::FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
      close(fd);
      return;
    }
    HistEvent event;
    history(history_, &event, H_SAVE_FP, file);
    std::fclose(file);
  }

  std::string history_file_;
  Interrupts* interrupts_;
  EditLine* editor_ = nullptr;
  History* history_ = nullptr;
  std::string prompt_;
};

}  // namespace

LineSource::Read StreamLineSource::read(const char*, std::string* line) {
  if (!std::getline(in_, *line)) return Read::kEnd;
  strip_line_end(line);
  return Read::kLine;
}

std::string history_path() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/nvsql/history";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/nvsql/history";
  return {};
}

std::unique_ptr<LineSource> make_terminal_source(const std::string& history_file,
                                                 Interrupts* interrupts) {
  auto source = std::make_unique<TerminalSource>(history_file, interrupts);
  if (!source->start()) return nullptr;
  return source;
}

}  // namespace nvsql
