// Dialog data exchange: one pass over a dialog's controls that either pushes members into the
// controls or pulls the controls into members with validation. The first failing field stops
// the pull: it shows its message box, gets the focus with its whole text selected, and every
// later field of the pass is left alone.
#pragma once

#include <QString>
#include <QWidget>
#include <optional>
#include <string_view>

#include "res/dialog_item.h"

namespace kestrel {

inline constexpr std::size_t kDialogIntMaxChars = 63;

// The decimal integer at the start of the first 63 characters of text: leading blanks, then an
// optional sign, then at least one digit; whatever follows is ignored. Values beyond the int
// range saturate. nullopt when there is no digit.
std::optional<int> ParseDialogInt(std::string_view text);

class DataExchange {
  public:
    // pull = true reads controls into members with validation; false writes members out.
    DataExchange(QWidget* dialog, bool pull) : dialog_(dialog), pull_(pull) {}

    bool pulling() const { return pull_; }
    bool failed() const { return failed_; }

    // Binds member to the control with that id, once.
    template <class Widget>
    void Control(int id, Widget*& member) {
        if (!failed_ && member == nullptr) member = qobject_cast<Widget*>(GetDlgItem(dialog_, id));
    }

    // An integer field: pushed as "%d"; pulled with ParseDialogInt, "Enter an integer." when the
    // text holds none.
    void Text(int id, int& value);
    // A text field, exchanged whole.
    void Text(int id, QString& value);
    // Range check of the integer field just exchanged: on a pull, a value outside min..max fails
    // with "Enter an integer between min and max." (the member keeps the value it received).
    void MinMaxInt(int value, int min, int max);

  private:
    void Fail(const QString& message);

    QWidget* dialog_;
    bool pull_;
    bool failed_ = false;
    int last_id_ = 0;
};

}  // namespace kestrel
