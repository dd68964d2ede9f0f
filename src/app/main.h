// The main window Tcapmain (instance capmain): its components, the
// settings record and the settings file, the skin and the status line.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/AnimWnd.h"
#include "app/Forms.h"
#include "app/Motion.h"
#include "app/Snapshot.h"
#include "app/Stream.h"
#include "app/Upload.h"
#include "capture/Video.h"
#include "ftp/FtpCli.h"
#include "ftp/SftpCli.h"
#include "http/HttpSrv.h"
#include "platform/IniFiles.h"
#include "platform/Timer.h"

// Where the program keeps its files and what it was started with; set by
// the front end before the main window is created.
struct TStartup {
    std::string DocDir;      // empty: $XDG_DATA_HOME/quorrelane/
    std::string ConfigFile;  // empty: $XDG_CONFIG_HOME/quorrelane/videosetting.ini
    std::vector<std::string> Args;  // the arguments left after the options
};
extern TStartup Startup;

// The status line: every new caption is painted at once, so pending
// messages are processed each time it is set.
class TStatusLine : public TLabel {
public:
    explicit TStatusLine(TComponent* AOwner) : TLabel(AOwner) {}
    void SetCaption(const std::string& Value);
};

// The last upload run's outcome, reported by /status.json.
struct TUploadOutcome {
    bool Done = false;       // a run has ended since start
    bool Ok = false;
    std::time_t Time = 0;    // when it ended
    std::string Reason;      // why it failed; empty on success
};
// The motion settings ([setting] motion, motion_fps, ...).
extern TMotionSettings MotionSettings;

class Tcapmain : public TForm {
public:
    explicit Tcapmain(TComponent* AOwner);
    ~Tcapmain() override;

    // Components, in declaration order.
    TFrameGrabber* FrameGrabber1 = nullptr;
    TPopupMenu* PopupMenu1 = nullptr;
    TMenuItem* src1 = nullptr;
    TMenuItem* format1 = nullptr;
    TSpeedButton* SpeedButton1 = nullptr;
    TSpeedButton* SpeedButton2 = nullptr;
    TEdit* Edit1 = nullptr;
    THttpServer* srv = nullptr;
    TLabel* Label1 = nullptr;
    TFtpClient* ftp = nullptr;
    TSpeedButton* SpeedButton4 = nullptr;
    TImage* Image1 = nullptr;
    TImage* Imagel = nullptr;
    TImage* Imagelb = nullptr;
    TImage* Imagelt = nullptr;
    TImage* Imagert = nullptr;
    TImage* Imager = nullptr;
    TImage* Imagerb = nullptr;
    TShape* s1 = nullptr;
    TSpeedButton* SpeedButton6 = nullptr;
    TSpeedButton* SpeedButton5 = nullptr;
    TLabel* Label2 = nullptr;
    TSpeedButton* SpeedButton3 = nullptr;
    TAnimateWindow* am = nullptr;
    TImage* im32 = nullptr;
    TImage* im31 = nullptr;
    TImage* im12 = nullptr;
    TImage* im11 = nullptr;
    TSpeedButton* SpeedButton7 = nullptr;
    TLabel* Label3 = nullptr;
    TTimer* Timer1 = nullptr;
    TSpeedButton* SpeedButton8 = nullptr;
    TMenuItem* Effect1 = nullptr;
    TMenuItem* devicesetup1 = nullptr;  // runs SpeedButton2Click
    TStatusLine* msg = nullptr;
    TEdit* Edit2 = nullptr;
    TButton* Button1 = nullptr;
    TMenuItem* motion1 = nullptr;    // "motion": detection on and off
    TTimer* MotionTimer = nullptr;   // runs while detection is on
    TShape* MotionMark = nullptr;    // shown in the picture during an event

    // Window events.
    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    void FormClose(TObject* Sender, TCloseAction& Action);
    void FormResize(TObject* Sender);

    // Caption functions of the skinned frame.
    void Label2MouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void SpeedButton5Click(TObject* Sender);
    void SpeedButton6Click(TObject* Sender);
    void SpeedButton8MouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void amMinimize(TObject* Sender);
    void amRestore(TObject* Sender);

    // Paints the skin border over the whole of Image.
    void PaintSkinFrame(TImage* Image);

    // Camera control and the device dialog.
    void SpeedButton3Click(TObject* Sender);
    void SpeedButton3MouseMove(TObject* Sender, TShiftState Shift, int X, int Y);
    void SpeedButton2Click(TObject* Sender);
    void src1Click(TObject* Sender);
    void format1Click(TObject* Sender);
    void Effect1Click(TObject* Sender);

    // Web request handlers.
    void SpeedButton1Click(TObject* Sender);
    void srvServerStarted(TObject* Sender);
    void srvServerStopped(TObject* Sender);
    void srvGetDocument(TObject* Sender, THttpConnection* Client, THttpGetFlag& Flags);
    void srvPostDocument(TObject* Sender, THttpConnection* Client, THttpGetFlag& Flags);
    void srvHeadDocument(TObject* Sender, THttpConnection* Client, THttpGetFlag& Flags);
    void Label1Click(TObject* Sender);
    // The server's URLs: "http://" or "https://", each address it can be
    // reached at when bound to Addr, ":" and Port.
    std::vector<std::string> ServerUrls(const std::string& Port, const std::string& Addr) const;
    // The server's port, credentials, certificate and address from the
    // settings.
    void ConfigureServer();

    // Grabs the current frame and writes it, tinted and captioned, as the
    // JPEG AppDir + FileName.
    void TakeSnapshot(const std::string& FileName, TSnapshotStamp Stamp);

    // Settings dialog.
    void SpeedButton7Click(TObject* Sender);

    // FTP upload job.
    bool UploadByFtp(const std::string& FileName);
    void SpeedButton4Click(TObject* Sender);
    void Timer1Timer(TObject* Sender);
    // Timer1 from FtpInterval: running with its period when not 0, else
    // stopped; an unchanged period leaves a running countdown alone.
    void ArmUploadTimer();
    // Writes AppDir + "cam.html" for the picture FileName, as of now.
    void WriteCamPage(const std::string& FileName);

    // Motion detection: the menu item, the timer that carries out what
    // the detector asks for, and detection on or off as MotionSettings
    // says.
    void motion1Click(TObject* Sender);
    void MotionTimerTimer(TObject* Sender);
    void ApplyMotion();
    // When the last motion event started; 0: none yet.
    std::time_t MotionStart() const { return FMotionStart; }

    // The capture control's driver selection.
    int DriverIndex() const;
    void SetDriverIndex(int Value);
    // The chosen camera's stable identity, stored beside its index, and
    // the index it had at start.
    std::string DriverIdentity;
    int IdentityIndex = -1;
    void CloseDriver();

    int HttpPort = 8765;    // the HTTP listening port
    int RequestCount = 0;   // picture requests since start
    bool PictureTaken = false;  // a picture request has refreshed http.jpg
    std::unique_ptr<TLiveStream> Stream;  // the live picture at /stream
    TSftpCli* sftp = nullptr;  // the upload client with fproto=sftp
    TUploadOutcome LastUpload;
    // For /status.json: the open camera is lost (until it is back), when
    // the newest camera frame was taken, and when the program started.
    bool CameraLost = false;
    std::time_t LastFrameTime = 0;
    const std::chrono::steady_clock::time_point StartedAt = std::chrono::steady_clock::now();
    // The chosen camera's device path; empty when it has none.
    std::string CameraDevice() const;
    TMotionDetector Motion{MotionSettings};
    // A run that uploads an event's picture stores it under this history
    // name; empty for every other run.
    std::string MotionUploadName;

private:
    void CreateComponents();
    void BindEvents();
    void BindCameraEvents();
    void BindWebEvents();
    void BindUploadEvents();
    void BindMotionEvents();
    void MotionFrame(const TRawFrame& Frame);
    void MotionAct(TMotionAction Action);
    // Saves a picture in motion/ and queues it for upload.
    void MotionPicture();
    void MotionUpload();
    void ReadSettings();
    void WriteSettings();

    int FDriverIndex = -1;
    mutable int FDeviceIndex = -1;       // the driver CameraDevice() last looked up
    mutable std::string FDevice;         // and its device path
    bool FUploading = false;  // an upload job is running
    std::vector<TMotionAction> FMotionActions;  // from the frame path, for the timer
    uint64_t FMotionFrameMs = 0;  // when the camera last delivered a frame
    std::string FMotionPending;   // the newest picture in motion/ not uploaded yet
    std::time_t FMotionStart = 0; // the last event's start
    // One file of the job: stored under RemoteName (by way of a temporary
    // name with FtpAtomic), the status line showing Status.
    bool PutFile(const std::string& RemoteName, const std::string& LocalName, const char* Status);
    // Takes the snapshot and uploads; Ok is the upload's result. A local
    // error is shown and ends the run early: false.
    bool RunUpload(bool Timed, bool& Ok);
    // After an error that ended a run early: the session aborted, the
    // button back, a timed run's timer as it was.
    void EndBrokenRun(bool Timed);
    // The job over FTP (FTPS) and over SFTP, with the same files, texts
    // and result.
    bool UploadOverFtp(const std::string& FileName);
    bool UploadBySftp(const std::string& FileName);
    // One file over SFTP, as PutFile.
    bool PutFileSftp(const std::string& RemoteName, const std::string& LocalName, const char* Status);
    // Keeps the first failure's reason of the running job.
    void NoteFailure(const std::string& Reason);
    // The reason of the failed FTP step Step.
    void NoteFtpFailure(const std::string& Step);
    // Records the run's outcome and, after a failure, shows its reason.
    void EndRun(bool Ok);
    std::string FFailure;  // the running job's first failure
};

extern Tcapmain* capmain;

// The settings record and the program-wide state.
extern std::string AppDir;  // ends with "/"
extern std::string FtpHost, FtpUser, FtpPass, FtpDir;
extern int FtpInterval;
extern int EffectR, EffectG, EffectB;
extern bool HistoryUpload, DisablePrompt;
// Upload options: data connections by PASV; each file stored under a
// temporary name and renamed into place.
extern bool FtpPassive, FtpAtomic;
// Explicit FTP over TLS, and the accepted certificate's SHA-256
// fingerprint (empty: the system's CA store decides).
extern bool FtpTls;
extern std::string FtpTlsFingerprint;
// Who may watch: Basic credentials (no user: anyone), the PEM certificate
// and key that switch the server to HTTPS, and the address it listens on.
extern std::string HttpUser, HttpPass;
extern std::string HttpsCert, HttpsKey;
extern std::string BindAddress;
// The upload protocol ("ftp" or "sftp"), the SSH private key file and the
// pinned SSH host key fingerprint ("SHA256:...").
extern std::string FtpProto, FtpKey, FtpHostKey;
extern std::unique_ptr<TIniFile> SettingsFile;
extern DWORD LastRefreshTick;

// The file the settings live in (from Startup, or the XDG default).
std::string SettingsFileName();
// The program's data directory with its trailing "/" (from Startup, or the
// XDG default).
std::string DataDirectory();

// Each byte XOR 0xA7; applying it twice gives back the input.
std::string ScramblePassword(const std::string& Text);
// The password as the settings file holds it: "fpass" = the scrambled
// bytes (between quotes when blanks or quotes at its ends would be lost).
// A scrambled form the file cannot hold (a zero byte, CR or LF) goes
// whole, as hexadecimal, into a second key "fpassx", and "fpass" keeps the
// rest for programs that do not know that key.
// Key names another password kept the same way (its long form: Key + "x").
void WritePassword(TIniFile& Ini, const std::string& Password, const std::string& Key = "fpass");
std::string ReadPassword(const TIniFile& Ini, const std::string& Key = "fpass");
// Writes http_user and http_pass into the settings file at once.
void SaveWebLogin(const std::string& User, const std::string& Password);
