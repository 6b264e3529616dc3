#pragma once

#include "app/models/PhotoLibrary.h"
#include "app/services/receive/PeerReceiveModel.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QWidget;

namespace app {

struct AppContext;
class DrawerHeaderButton;
class MiddleElidedLabel;
class RadarRippleBackground;

// The receive sheet: choose where a phone's backup goes, wait for the phone with a pairing code,
// follow the transfer, read the summary or the failure. Window-modal, shown with open(); one page
// per phase of its PeerReceiveModel, which it owns.
class PeerDiscoverySheet : public QDialog {
    Q_OBJECT
public:
    enum class Transport { wireless, wired };
    using FolderPicker = std::function<std::optional<QString>()>;

    // Receiving needs the context's transports; without them the sheet only offers to close.
    PeerDiscoverySheet(AppContext& context, Transport transport, std::function<void(QUuid)> onFinished,
                       QWidget* parent = nullptr);
    ~PeerDiscoverySheet() override;

    Transport transport() const { return m_transport; }
    PeerReceiveModel* model() const { return m_model.get(); }

    // The summary's "完成": bump the library's content revision and report it, then cancel and
    // close. With no destination library known, it only cancels and closes.
    void finishReceive(const std::optional<QUuid>& libraryID);
    // Escape runs the header button's action.
    void reject() override;

    // Tests replace the folder chooser.
    void setFolderPicker(FolderPicker picker) { m_folderPicker = std::move(picker); }

    // Widgets, for tests and screenshots.
    QLabel* titleLabel() const { return m_title; }
    QPushButton* headerButton() const { return m_headerButton; }
    QStackedWidget* pages() const { return m_pages; }
    QPushButton* chooseParentButton() const { return m_chooseParent; }
    QLabel* previewPathLabel() const { return m_previewPath; }
    QLineEdit* nameField() const { return m_nameField; }
    QLabel* nameMessageLabel() const { return m_nameMessage; }
    QPushButton* startNewButton() const { return m_startNew; }
    DrawerHeaderButton* drawerButton() const { return m_drawerButton; }
    QLabel* drawerCountLabel() const { return m_drawerCount; }
    QWidget* drawerContent() const { return m_drawerContent; }
    QLabel* drawerEmptyLabel() const { return m_drawerEmpty; }
    QListWidget* libraryList() const { return m_libraryList; }
    QPushButton* startExistingButton() const { return m_startExisting; }
    QLabel* errorLabel() const { return m_error; }
    QMessageBox* confirmationBox() const { return m_confirmation; }
    QLabel* codeLabel() const { return m_code; }
    QLabel* instructionLabel() const { return m_instruction; }
    QLabel* wiredStatusLabel() const { return m_wiredStatus; }
    QLabel* peerLabel() const { return m_negotiatingPeer; }
    QProgressBar* progressBar() const { return m_progressBar; }
    QLabel* transferTitleLabel() const { return m_transferTitle; }
    QLabel* countsLabel() const { return m_counts; }
    QLabel* bytesLabel() const { return m_bytes; }
    QLabel* currentFileLabel() const { return m_currentFile; }
    QLabel* finishedTitleLabel() const { return m_finishedTitle; }
    QLabel* finishedStatsLabel() const { return m_finishedStats; }
    QPushButton* finishButton() const { return m_finishButton; }
    QLabel* failureMessageLabel() const { return m_failureMessage; }
    QPushButton* closeButton() const { return m_closeButton; }
    QPushButton* retryButton() const { return m_retryButton; }
    QWidget* radar() const;
    QList<MiddleElidedLabel*> footnotes() const { return m_footnotes; }

    bool isDrawerExpanded() const { return m_drawerExpanded; }
    void setDrawerExpanded(bool expanded);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildPicker();
    QWidget* buildWaiting();
    QWidget* buildNegotiating();
    QWidget* buildTransferring();
    QWidget* buildFinished();
    QWidget* buildFailure();
    MiddleElidedLabel* addFootnote(QWidget* page);

    QList<PhotoLibrary> availableLibraries() const;
    void refreshLibraries();
    void refreshPicker();
    void refreshFromModel();
    void fitWindow();
    void runHeaderAction();
    void chooseParentFolder();
    void startNewLibrary();
    void requestStartExistingLibrary();
    void startExisting(const PhotoLibrary& library);
    void setErrorMessage(const std::optional<QString>& message);
    void cancelThenClose(bool onlyWhenSettled);

    AppContext& m_context;
    Transport m_transport;
    std::function<void(QUuid)> m_onFinished;
    std::unique_ptr<PeerReceiveModel> m_model;
    FolderPicker m_folderPicker;
    std::optional<QString> m_selectedParent;
    bool m_drawerExpanded = false;
    bool m_closing = false;

    RadarRippleBackground* m_radar = nullptr;
    QLabel* m_title = nullptr;
    QPushButton* m_headerButton = nullptr;
    QWidget* m_divider = nullptr;
    QWidget* m_header = nullptr;
    QStackedWidget* m_pages = nullptr;
    QWidget* m_picker = nullptr;
    QPushButton* m_chooseParent = nullptr;
    QLabel* m_previewPath = nullptr;
    QLineEdit* m_nameField = nullptr;
    QLabel* m_nameMessage = nullptr;
    QPushButton* m_startNew = nullptr;
    DrawerHeaderButton* m_drawerButton = nullptr;
    QLabel* m_drawerCount = nullptr;
    QWidget* m_drawerContent = nullptr;
    QLabel* m_drawerEmpty = nullptr;
    QListWidget* m_libraryList = nullptr;
    QPushButton* m_startExisting = nullptr;
    QWidget* m_errorRow = nullptr;
    QLabel* m_error = nullptr;
    QPointer<QMessageBox> m_confirmation;
    QLabel* m_waitingIcon = nullptr;
    QLabel* m_instruction = nullptr;
    QLabel* m_code = nullptr;
    QLabel* m_wiredStatus = nullptr;
    QLabel* m_negotiatingPeer = nullptr;
    QLabel* m_transferTitle = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_counts = nullptr;
    QLabel* m_bytes = nullptr;
    QLabel* m_currentFile = nullptr;
    QLabel* m_finishedIcon = nullptr;
    QLabel* m_finishedTitle = nullptr;
    QLabel* m_finishedStats = nullptr;
    QPushButton* m_finishButton = nullptr;
    QLabel* m_failureMessage = nullptr;
    QPushButton* m_closeButton = nullptr;
    QPushButton* m_retryButton = nullptr;
    QList<MiddleElidedLabel*> m_footnotes;
};

// The USB receive sheet: the same sheet on the wired road.
class WiredPeerReceiveSheet final : public PeerDiscoverySheet {
    Q_OBJECT
public:
    WiredPeerReceiveSheet(AppContext& context, std::function<void(QUuid)> onFinished, QWidget* parent = nullptr)
        : PeerDiscoverySheet(context, Transport::wired, std::move(onFinished), parent)
    {
    }
};

} // namespace app
