#pragma once
// The pairing request window ("Ravnix — Eşleştirme"): the phone's name, the confirmation
// number both devices derived, whether the phone's user has confirmed, and the two answers.
// It shows the request as it was when the window was built. Only the two buttons end it: the
// title bar has no controls, and Escape and the window manager's close are refused.
//
// Main thread only.

#include "pairing/PairingListener.hpp"

#include <QColor>
#include <QDialog>
#include <QPixmap>
#include <QString>
#include <string>

class QLabel;
class QPushButton;

namespace ravnix {

class PairingWindow : public QDialog {
    Q_OBJECT

  public:
    static constexpr int fixedWidth = 420;

    explicit PairingWindow(PairingListener::Request request, QWidget* parent = nullptr);
    ~PairingWindow() override;

    // "123 456" for a code of exactly six characters; any other code unchanged.
    static QString formatCode(const std::string& code);

    const PairingListener::Request& request() const noexcept { return request_; }
    QPushButton* acceptButton() const noexcept { return accept; }
    QPushButton* refuseButton() const noexcept { return refuse; }

    // Escape lands here: refused, the buttons are the only answers.
    void reject() override;

  signals:
    // The user's answer, at most once per window.
    void decided(bool accepted);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void decide(bool accepted);

    PairingListener::Request request_;
    bool hasDecided = false;
    QPushButton* accept = nullptr;
    QPushButton* refuse = nullptr;
};

// Small state symbols of the shell's windows, drawn for the screen's pixel ratio.
enum class StatusSymbol {
    checkmark, // white check on a filled green circle
    hourglass, // outline in the given ink
};
QPixmap statusSymbol(StatusSymbol symbol, int size, const QColor& ink);
// The green of confirmations (the check, "İzin verildi").
QColor confirmationGreen();
// Turns `button` into the filled accent button of a window's main action.
void makeProminent(QPushButton& button);

} // namespace ravnix
