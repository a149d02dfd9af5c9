// Control IDs of the Windows wizard's windows. Automation (and the tests)
// find a page's controls by these IDs; the invisible static kIdPageName
// holds the name of the page shown (Wizard.h PageName, or "Progress",
// "Finish").
#pragma once

namespace vxwizwin {

// The wizard window.
constexpr int kIdBack = 0x3001;
constexpr int kIdNext = 0x3002;
constexpr int kIdCancel = 2;  // IDCANCEL: Esc presses it
constexpr int kIdPageName = 0x3003;
constexpr int kIdHeading = 0x3004;   // the page's main text
constexpr int kIdMessage = 0x3005;   // why the page was refused
constexpr int kIdLicense = 0x3010;   // read-only licence text
constexpr int kIdAccept = 0x3011;    // "I accept" check box
constexpr int kIdDestEdit = 0x3020;
constexpr int kIdBrowse = 0x3021;
constexpr int kIdSpace = 0x3022;
constexpr int kIdTypeList = 0x3030;
constexpr int kIdTypeDescription = 0x3031;
constexpr int kIdFeatureTree = 0x3040;
constexpr int kIdFeatureDescription = 0x3041;
constexpr int kIdFeatureSize = 0x3042;
constexpr int kIdPassword = 0x3050;
constexpr int kIdSummary = 0x3060;
constexpr int kIdProgressFile = 0x3070;
constexpr int kIdProgressBar = 0x3071;
constexpr int kIdStatus = 0x3072;
constexpr int kIdLaunch = 0x3080;

// Question windows: the text, the answers (kIdAnswer + 0, + 1, ...), and for
// a missing package the folder edit box.
constexpr int kIdQuestionText = 0x3100;
constexpr int kIdQuestionEdit = 0x3101;
constexpr int kIdAnswer = 0x3110;

// Window class of the wizard window and of its question windows.
constexpr const char* kWizardClass = "VXWizardWindow";
constexpr const char* kQuestionClass = "VXWizardQuestion";

}  // namespace vxwizwin
