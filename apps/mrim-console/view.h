// Where events go: the terminal view (sentences for people) or the JSON view (one object per
// line for programs). Both are called from several threads (the command loop and the event
// sources) and keep their output lines whole.
#pragma once

#include <memory>
#include <string>

#include "event.h"

namespace console {

class View {
 public:
  virtual ~View() = default;
  virtual void show(const Event& event) = 0;
  // Something slow began or ended (going online, a search, a request that waits for the
  // server). The terminal view shows that it is under way; `key` pairs begin and end.
  virtual void begin_wait(const std::string& key, const std::string& what) = 0;
  virtual void end_wait(const std::string& key) = 0;
  // Ready for the next command (the terminal view prompts when a person types), and a line
  // has been taken (the prompt is gone with it).
  virtual void ready_for_input() {}
  virtual void input_taken() {}
};

class LineEditor;

// interactive: a person types at a terminal (prompt and in-place progress then). With a line
// editor, events are printed above the line being typed and the editor draws the prompt.
// verbose: every message sent and its delivery each get a line with the acknowledgement's
// number, as before; otherwise a message gets one line, when its fate is known.
// bell: a message rings the terminal's bell unless its conversation is open.
std::unique_ptr<View> make_terminal_view(bool interactive, LineEditor* editor = nullptr, bool verbose = false,
                                         bool bell = true);
std::unique_ptr<View> make_json_view();

}  // namespace console
