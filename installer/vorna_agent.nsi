; Installer for VornaAgent. Per user by default: no administrator rights, everything under the
; user's own profile and HKCU. Per machine with /ALLUSERS (run as an administrator or SYSTEM):
; Program Files, the all-users Start menu, HKLM; an upgrade keeps the mode it finds.
;
;   makensis -INPUTCHARSET UTF8 -DAGENT_EXE=/abs/VornaAgent.exe -DOUTFILE=/abs/Setup.exe \
;            -DVERSION=A.B.C.D -DUNINSTALL_LAUNCHER=/abs/uninstall.exe vorna_agent.nsi
; (makensis works in this directory, so give it absolute paths; build_installer.sh does.)
;
; Optional defines: AGENT_ICON (.ico for the installer), RESOURCE_IDS (the agent's resource id
; header, by default res/resource_ids.h next to this directory), SIGN_UNINSTALLER.
;
; Command line of the installer:   /S silent, /AUTORUN turn start at logon on, /ALLUSERS per
;   machine (its /AUTORUN is an HKLM Run entry with --domain), /FORCE install over a newer
;   version, /D=dir.
; Command line of the uninstaller: /S silent, /REMOVESETTINGS also delete the stored settings.
; Exit codes of the installer: 0 done; 2 an agent would not exit or a file could not be written;
;   3 a newer version is installed (without /FORCE); 4 /ALLUSERS without administrator rights.
; Exit codes of the uninstaller: 0 everything removed, its folder and itself included; 1 cancelled;
;   2 the agent would not exit (nothing removed); 4 a per-machine installation without
;   administrator rights (nothing removed); 5 something could not be removed.
;
; NSIS's uninstaller (installed as uninstall-core.exe) started without _?= copies itself to Temp,
; starts the copy and returns at once: its caller can neither wait for it nor learn its result.
; So uninstall.exe is a small program of ours (UNINSTALL_LAUNCHER, uninstall_launcher.cpp): it
; runs a copy of uninstall-core.exe in place (_?=), waits, removes itself and the folder, and
; passes the exit code on.

!ifdef TARGET_AMD64
Target amd64-unicode
!else
Unicode true
!endif
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef AGENT_EXE
  !error "Give the agent to pack: makensis -DAGENT_EXE=path\VornaAgent.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "VornaAgentSetup.exe"
!endif
!ifndef UNINSTALL_LAUNCHER
  !error "Give the uninstall.exe to pack: makensis -DUNINSTALL_LAUNCHER=path\uninstall.exe"
!endif
!ifndef VERSION
  !error "Give the version of the agent packed: makensis -DVERSION=A.B.C.D (build_installer.sh reads it from the agent)"
!endif
; Signs the uninstaller as it is written, before it is packed (build_installer.sh --sign-...).
!ifdef SIGN_UNINSTALLER
  !uninstfinalize '"${SIGN_UNINSTALLER}" "%1"' = 0
!endif
!ifndef RESOURCE_IDS
  !define RESOURCE_IDS "${__FILEDIR__}/../res/resource_ids.h"
!endif

; The agent's window and command ids come from the header the agent itself is built with.
!searchparse /file "${RESOURCE_IDS}" "#define IDM_EXIT " AGENT_CMD_EXIT
!searchparse /file "${RESOURCE_IDS}" "#define IDC_LOGIN " AGENT_IDC_LOGIN
!searchparse /file "${RESOURCE_IDS}" "#define IDC_CONNECT " AGENT_IDC_CONNECT
!searchparse "${VERSION}" "" VER_MAJOR "." VER_MINOR "." VER_PATCH "." VER_BUILD

!define PRODUCT_NAME "Vorna Tray Agent"
!define PUBLISHER "Vorna Networks"
!define VERSION_TEXT "${VER_MAJOR}.${VER_MINOR}.${VER_PATCH} (build ${VER_BUILD})"
!define AGENT_FILE "VornaAgent.exe"
!define UNINSTALLER_FILE "uninstall.exe"
!define UNINSTALLER_CORE_FILE "uninstall-core.exe"
!define SHORTCUT "$SMPROGRAMS\VornaAgent.lnk"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VornaAgent"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "VORNA Auth Utility"
!define SETTINGS_PARENT_KEY "Software\Vorna"
!define SETTINGS_KEY "Software\Vorna\AuthUtility"
; The agent's logon window: a dialog that lives, hidden or not, as long as the agent runs.
!define AGENT_WINDOW_CLASS "#32770"
!define AGENT_WINDOW_CAPTION "Подключение к Интернет"
; Exit during a session logs off first; the agent's request timeout is 3.5 s.
!define AGENT_STOP_POLLS 50
!define AGENT_STOP_POLL_MS 100
!define AGENT_SEND_TIMEOUT_MS 2000
!define SYNCHRONIZE 0x00100000
!define MSG_STILL_RUNNING_INSTALL "${PRODUCT_NAME} всё ещё работает. Закройте его \
    (меню значка в области уведомлений, $\"Выход$\") и нажмите $\"Повтор$\"."
!define MSG_STILL_RUNNING_UNINSTALL "${PRODUCT_NAME} всё ещё работает, и его файл не удалён. \
    Завершите программу и повторите удаление."
!define WAIT_OBJECT_0 0
!define PROCESS_QUERY_INFORMATION 0x0400
!define PROCESS_VM_READ 0x0010
; Enough to wait for the agent, to check its image and to read its command line for the restart.
!define /math AGENT_ACCESS_1 ${SYNCHRONIZE} | ${PROCESS_QUERY_INFORMATION}
!define /math AGENT_ACCESS ${AGENT_ACCESS_1} | ${PROCESS_VM_READ}
!define MSG_NEWER_INSTALLED "Установлена более новая версия ${PRODUCT_NAME}. Для установки \
    более старой запустите установку с ключом /FORCE."
!define MSG_NEED_ADMIN "Для установки для всех пользователей (/ALLUSERS) нужны права \
    администратора."
!define MSG_NEED_ADMIN_UNINSTALL "${PRODUCT_NAME} установлен для всех пользователей: для его \
    удаления нужны права администратора."
!define MSG_NOT_REMOVED "Не всё удалось удалить; подробности в списке действий."
; Exit codes of the uninstaller beyond NSIS's own (0 done, 1 cancelled).
!define EXIT_AGENT_RUNNING 2
!define EXIT_NEED_ADMIN 4
!define EXIT_NOT_REMOVED 5

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh
!include WordFunc.nsh

Name "${PRODUCT_NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\VornaAgent"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT_NAME} ${VERSION_TEXT}"
ShowInstDetails show
ShowUninstDetails show

!ifdef AGENT_ICON
  !define MUI_ICON "${AGENT_ICON}"
  !define MUI_UNICON "${AGENT_ICON}"
!endif
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\${AGENT_FILE}"
!define MUI_FINISHPAGE_RUN_TEXT "Запустить ${PRODUCT_NAME}"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Russian"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileDescription" "Установка ${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "LegalCopyright" "© ${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "OriginalFilename" "VornaAgentSetup.exe"

; Asks a running agent to exit the way its own tray menu does, and waits a bounded time for its
; process to end (only then is its exe free to be replaced or deleted).
; Sets AgentRunning: 0 when no agent runs any more, 1 when one is still running; sets
; AgentWasStopped when it ended one.
Var AgentRunning
Var AgentWasStopped
; The arguments (without the program path) of the agent stopped, so its restart keeps them.
Var AgentArguments
; 1 when installing or removing per machine.
Var PerMachine
!macro VORNA_STOP_AGENT_FUNCTION un
Function ${un}StopAgent
    Push $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    StrCpy $R0 0
    StrCpy $R3 0
find_next:
    FindWindow $R0 "${AGENT_WINDOW_CLASS}" "${AGENT_WINDOW_CAPTION}" 0 $R0
    StrCmp $R0 0 done
    ; Another program's dialog may carry the same caption: only the agent's has these controls.
    GetDlgItem $R1 $R0 ${AGENT_IDC_LOGIN}
    StrCmp $R1 0 find_next
    GetDlgItem $R1 $R0 ${AGENT_IDC_CONNECT}
    StrCmp $R1 0 find_next

    DetailPrint "Завершение работающего ${PRODUCT_NAME}..."
    StrCpy $R1 0
    System::Call "user32::GetWindowThreadProcessId(p R0, *i .R1) i"
    System::Call "kernel32::OpenProcess(i ${AGENT_ACCESS}, i 0, i R1) p .R2"
    StrCpy $AgentArguments ""
    ${If} $R2 P= 0
        System::Call "kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i R1) p .R2"
    ${Else}
        ; A look-alike's command line is never run again (elevated, after an upgrade that is),
        ; nor anything in the agent's but its own options.
        Push $R2
        Call ${un}IsInstalledAgent
        Pop $R1
        ${If} $R1 = 1
            Push $R2
            Call ${un}ReadArguments
            Call ${un}FilterArguments
            Pop $AgentArguments
        ${EndIf}
    ${EndIf}
    ; A hung agent must not hang the installer: the send gives up after a while.
    SendMessage $R0 ${WM_COMMAND} ${AGENT_CMD_EXIT} 0 $R1 /TIMEOUT=${AGENT_SEND_TIMEOUT_MS}
    StrCpy $R3 1
    StrCpy $R4 0
poll:
    ${If} $R2 P<> 0
        System::Call "kernel32::WaitForSingleObject(p R2, i ${AGENT_STOP_POLL_MS}) i .R1"
        ${If} $R1 = ${WAIT_OBJECT_0}
            StrCpy $R3 0
        ${EndIf}
    ${Else}
        ; No handle to the process (should not happen for our own user): watch the window.
        Sleep ${AGENT_STOP_POLL_MS}
        IsWindow $R0 +2
        StrCpy $R3 0
    ${EndIf}
    ${If} $R3 = 0
        StrCpy $AgentWasStopped 1
    ${EndIf}
    IntOp $R4 $R4 + 1
    ${If} $R3 = 1
    ${AndIf} $R4 < ${AGENT_STOP_POLLS}
        Goto poll
    ${EndIf}
    ${If} $R2 P<> 0
        System::Call "kernel32::CloseHandle(p R2)"
    ${EndIf}
    ${If} $R3 = 1
        DetailPrint "${PRODUCT_NAME} не завершился."
    ${EndIf}
done:
    StrCpy $AgentRunning $R3
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Pop $R0
FunctionEnd
!macroend

; The command line of the agent process whose handle is on the stack, without its program
; path, read from its process parameters (32-bit: PEB+0x10, then CommandLine at +0x40; 64-bit,
; the test build's: PEB+0x20, then +0x70); "" on failure.
!ifdef TARGET_AMD64
    !define PROCESS_INFO_SIZE 48
    !define PROCESS_INFO_FIELDS "p, p .R2"
    !define PEB_PARAMETERS 0x20
    !define PARAMETERS_COMMAND_LINE 0x70
    !define POINTER_SIZE 8
    !define COMMAND_LINE_SIZE 16
    !define COMMAND_LINE_FIELDS "&i2 .R2, &i2, i, p .R3"
!else
    !define PROCESS_INFO_SIZE 24
    !define PROCESS_INFO_FIELDS "i, i .R2"
    !define PEB_PARAMETERS 0x10
    !define PARAMETERS_COMMAND_LINE 0x40
    !define POINTER_SIZE 4
    !define COMMAND_LINE_SIZE 8
    !define COMMAND_LINE_FIELDS "&i2 .R2, &i2, i .R3"
!endif
!macro VORNA_READ_ARGUMENTS_FUNCTION un
Function ${un}ReadArguments
    Exch $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    StrCpy $R4 ""
    System::Alloc ${PROCESS_INFO_SIZE}
    Pop $R1
    System::Call "ntdll::NtQueryInformationProcess(p R0, i 0, p R1, i ${PROCESS_INFO_SIZE}, p 0) i .R2"
    ${If} $R2 = 0
        System::Call "*$R1(${PROCESS_INFO_FIELDS})"
        IntPtrOp $R2 $R2 + ${PEB_PARAMETERS}
        System::Call "kernel32::ReadProcessMemory(p R0, p R2, p R1, i ${POINTER_SIZE}, p 0) i .R3"
        ${If} $R3 <> 0
            System::Call "*$R1(p .R2)"
            IntPtrOp $R2 $R2 + ${PARAMETERS_COMMAND_LINE}
            System::Call "kernel32::ReadProcessMemory(p R0, p R2, p R1, i ${COMMAND_LINE_SIZE}, p 0) i .R3"
            ${If} $R3 <> 0
                System::Call "*$R1(${COMMAND_LINE_FIELDS})"
                ${If} $R2 > 0
                ${AndIf} $R2 < 2048
                    IntOp $R5 $R2 + 2
                    System::Alloc $R5
                    Pop $R5
                    System::Call "kernel32::ReadProcessMemory(p R0, p R3, p R5, i R2, p 0) i .R3"
                    ${If} $R3 <> 0
                        System::Call "kernel32::lstrcpynW(w .R4, p R5, i ${NSIS_MAX_STRLEN}) p"
                    ${EndIf}
                    System::Free $R5
                ${EndIf}
            ${EndIf}
        ${EndIf}
    ${EndIf}
    System::Free $R1
    ; Drop the program path: a quoted run, or the first word; then the blanks after it.
    StrCpy $R2 0
    StrCpy $R3 " "
    StrCpy $R1 $R4 1
    StrCmp $R1 '"' 0 skip_path
    StrCpy $R3 '"'
    StrCpy $R2 1
skip_path:
    StrCpy $R1 $R4 1 $R2
    IntOp $R2 $R2 + 1
    StrCmp $R1 "" path_done
    StrCmp $R1 $R3 path_done skip_path
path_done:
    StrCpy $R4 $R4 "" $R2
skip_blank:
    StrCpy $R1 $R4 1
    StrCmp $R1 " " 0 blanks_done
    StrCpy $R4 $R4 "" 1
    Goto skip_blank
blanks_done:
    ; The result goes out in place of the caller's $R0, which is restored.
    StrCpy $R0 $R4
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd
!macroend

; The long form of the path on the stack (itself when it does not exist).
!macro VORNA_LONG_PATH_FUNCTION un
Function ${un}LongPath
    Exch $R0
    Push $R1
    Push $R2
    System::Call "kernel32::GetLongPathNameW(w R0, w .R1, i ${NSIS_MAX_STRLEN}) i .R2"
    ${If} $R2 > 0
    ${AndIf} $R2 < ${NSIS_MAX_STRLEN}
        StrCpy $R0 $R1
    ${EndIf}
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd
!macroend

; 1 when the process whose handle is on the stack runs the installed agent: its image is
; $INSTDIR\VornaAgent.exe, both in long form, compared without case as the file system does;
; else 0.
!macro VORNA_IS_INSTALLED_AGENT_FUNCTION un
Function ${un}IsInstalledAgent
    Exch $R0
    Push $R1
    Push $R2
    System::Call "kernel32::QueryFullProcessImageNameW(p R0, i 0, w .R1, *i ${NSIS_MAX_STRLEN}) i .R2"
    StrCpy $R0 0
    ${If} $R2 <> 0
        Push $R1
        Call ${un}LongPath
        Pop $R1
        Push "$INSTDIR\${AGENT_FILE}"
        Call ${un}LongPath
        Pop $R2
        ${If} $R1 == $R2
            StrCpy $R0 1
        ${EndIf}
    ${EndIf}
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd
!macroend

; Splits the first word off the string on the stack as the agent splits its command line:
; blanks separate words, a double-quoted run belongs to its word and loses its quotes. Leaves
; the rest of the string on the stack and the word on top of it ("" when none is left).
!macro VORNA_NEXT_WORD_FUNCTION un
Function ${un}NextWord
    Exch $R0
    Push $R1
    Push $R2
    Push $R3
    StrCpy $R2 ""
    StrCpy $R3 0
    ${Do}
        StrCpy $R1 $R0 1
        ${If} $R1 != " "
        ${AndIf} $R1 != "$\t"
            ${ExitDo}
        ${EndIf}
        StrCpy $R0 $R0 "" 1
    ${Loop}
    ${Do}
        StrCpy $R1 $R0 1
        ${If} $R1 == ""
            ${ExitDo}
        ${EndIf}
        ${If} $R3 = 0
            ${If} $R1 == " "
            ${OrIf} $R1 == "$\t"
                ${ExitDo}
            ${EndIf}
        ${EndIf}
        StrCpy $R0 $R0 "" 1
        ${If} $R1 == '"'
            IntOp $R3 1 - $R3
        ${Else}
            StrCpy $R2 "$R2$R1"
        ${EndIf}
    ${Loop}
    ; The rest is in $R0, the word in $R2: hand both back, restoring the registers.
    Pop $R3
    Exch $R2
    Exch
    Pop $R1
    Exch
    Exch $R0
    Exch
FunctionEnd
!macroend

; 1 when the string on the stack is a dotted-decimal IPv4 address (four parts of one to three
; digits, each at most 255), else 0.
!macro VORNA_IS_ADDRESS_FUNCTION un
Function ${un}IsAddress
    Exch $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    ; $R1 a character, $R2 the digits of this part, $R3 its value, $R4 the parts done (-1 bad).
    StrCpy $R2 0
    StrCpy $R3 0
    StrCpy $R4 0
    ${Do}
        StrCpy $R1 $R0 1
        StrCpy $R0 $R0 "" 1
        ${If} $R1 == "."
        ${OrIf} $R1 == ""
            ${If} $R2 = 0
            ${OrIf} $R3 > 255
                StrCpy $R4 -1
                ${ExitDo}
            ${EndIf}
            IntOp $R4 $R4 + 1
            StrCpy $R2 0
            StrCpy $R3 0
            ${If} $R1 == ""
                ${ExitDo}
            ${EndIf}
        ${Else}
            ; IntOp reads anything but a digit as 0.
            IntOp $R5 $R1 + 0
            IntOp $R2 $R2 + 1
            ${If} $R5 = 0
            ${AndIf} $R1 != "0"
                StrCpy $R4 -1
                ${ExitDo}
            ${EndIf}
            ${If} $R2 > 3
                StrCpy $R4 -1
                ${ExitDo}
            ${EndIf}
            IntOp $R3 $R3 * 10
            IntOp $R3 $R3 + $R5
        ${EndIf}
    ${Loop}
    StrCpy $R0 0
    ${If} $R4 = 4
        StrCpy $R0 1
    ${EndIf}
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd
!macroend

; The agent's own options out of the arguments on the stack, in their order: --debug, --domain
; (with a plain name after it), --address A.B.C.D, --log PATH (quoted again), spelt as the agent
; compares them, case and all. Every other word is dropped, so nothing else reaches the
; restarted agent's command line.
!define DOMAIN_NAME_LIMIT 255
!define DOMAIN_NAME_CHARACTERS "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_"
!define LOG_PATH_LIMIT 259
!macro VORNA_FILTER_ARGUMENTS_FUNCTION un
Function ${un}FilterArguments
    Exch $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    ; $R0 what is left to read, $R1 what is kept, $R2 a word.
    StrCpy $R1 ""
    ${Do}
        Push $R0
        Call ${un}NextWord
        Pop $R2
        Pop $R0
        ${If} $R2 S== "--debug"
            StrCpy $R1 "$R1 --debug"
        ${ElseIf} $R2 S== "--domain"
            StrCpy $R1 "$R1 --domain"
            ; The name a deployment may give after it (the agent does not use it), when plain.
            Push $R0
            Call ${un}NextWord
            Pop $R2
            Pop $R3
            StrCpy $R4 $R2 1
            ${If} $R2 != ""
            ${AndIf} $R4 != "-"
                StrCpy $R0 $R3
                System::Call "shlwapi::StrSpnW(w R2, w '${DOMAIN_NAME_CHARACTERS}') i .R4"
                StrLen $R5 $R2
                ${If} $R4 = $R5
                ${AndIf} $R5 <= ${DOMAIN_NAME_LIMIT}
                    StrCpy $R1 "$R1 $R2"
                ${EndIf}
            ${EndIf}
        ${ElseIf} $R2 S== "--address"
            Push $R0
            Call ${un}NextWord
            Pop $R2
            Pop $R0
            Push $R2
            Call ${un}IsAddress
            Pop $R3
            ${If} $R3 = 1
                StrCpy $R1 "$R1 --address $R2"
            ${EndIf}
        ${ElseIf} $R2 S== "--log"
            Push $R0
            Call ${un}NextWord
            Pop $R2
            Pop $R0
            StrLen $R3 $R2
            ${If} $R3 > 0
            ${AndIf} $R3 <= ${LOG_PATH_LIMIT}
                ; No word holds a quote any more: quoted again, the path stays one argument.
                StrCpy $R1 '$R1 --log "$R2"'
            ${EndIf}
        ${EndIf}
        ; Every call of NextWord takes at least one character, or there are none left.
        ${If} $R0 == ""
            ${ExitDo}
        ${EndIf}
    ${Loop}
    StrCpy $R0 $R1 "" 1
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd
!macroend

!insertmacro VORNA_LONG_PATH_FUNCTION ""
!insertmacro VORNA_LONG_PATH_FUNCTION "un."
!insertmacro VORNA_IS_INSTALLED_AGENT_FUNCTION ""
!insertmacro VORNA_IS_INSTALLED_AGENT_FUNCTION "un."
!insertmacro VORNA_NEXT_WORD_FUNCTION ""
!insertmacro VORNA_NEXT_WORD_FUNCTION "un."
!insertmacro VORNA_IS_ADDRESS_FUNCTION ""
!insertmacro VORNA_IS_ADDRESS_FUNCTION "un."
!insertmacro VORNA_FILTER_ARGUMENTS_FUNCTION ""
!insertmacro VORNA_FILTER_ARGUMENTS_FUNCTION "un."
!insertmacro VORNA_READ_ARGUMENTS_FUNCTION ""
!insertmacro VORNA_READ_ARGUMENTS_FUNCTION "un."
!insertmacro VORNA_STOP_AGENT_FUNCTION ""
!insertmacro VORNA_STOP_AGENT_FUNCTION "un."

Section "${PRODUCT_NAME}" SecAgent
    SectionIn RO
stop_agent:
    Call StopAgent
    ${If} $AgentRunning <> 0
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${MSG_STILL_RUNNING_INSTALL}" \
            /SD IDCANCEL IDRETRY stop_agent
        DetailPrint "Установка прервана: ${PRODUCT_NAME} работает."
        SetErrorLevel 2
        Abort
    ${EndIf}

    SetOutPath "$INSTDIR"
    ClearErrors
    File "/oname=${AGENT_FILE}" "${AGENT_EXE}"
    ; In silent mode a failed File is ignored by default; never report a half-done upgrade as done.
    ${If} ${Errors}
        DetailPrint "Не удалось записать $INSTDIR\${AGENT_FILE}."
        SetErrorLevel 2
        Abort
    ${EndIf}
    ; uninstall.exe runs NSIS's uninstaller in a way its caller can wait for (see the top).
    ClearErrors
    File "/oname=${UNINSTALLER_FILE}" "${UNINSTALL_LAUNCHER}"
    ${If} ${Errors}
        DetailPrint "Не удалось записать $INSTDIR\${UNINSTALLER_FILE}."
        SetErrorLevel 2
        Abort
    ${EndIf}
    WriteUninstaller "$INSTDIR\${UNINSTALLER_CORE_FILE}"
    CreateShortcut "${SHORTCUT}" "$INSTDIR\${AGENT_FILE}" "" "$INSTDIR\${AGENT_FILE}" 0

    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${AGENT_FILE},0"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER_FILE}"'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER_FILE}" /S'
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Per user: the same two values the agent's own "start at logon" menu item writes, the Run entry
; and the flag the agent rewrites it from on every save. Per machine: start at logon belongs to
; the administrator; --domain makes every user's agent drop its own Run value and grey the item.
Section /o "Запускаться при входе в систему" SecAutorun
    ${If} $PerMachine = 1
        WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${AGENT_FILE}" --domain'
        ; An agent started from the menu must not take start at logon back either.
        CreateShortcut "${SHORTCUT}" "$INSTDIR\${AGENT_FILE}" "--domain" "$INSTDIR\${AGENT_FILE}" 0
    ${Else}
        WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" "$INSTDIR\${AGENT_FILE}"
        WriteRegDWORD HKCU "${SETTINGS_KEY}" "runonwinlogon" 1
    ${EndIf}
SectionEnd

Function .onInit
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/AUTORUN" $R1
    ${IfNot} ${Errors}
        SectionSetFlags ${SecAutorun} ${SF_SELECTED}
    ${EndIf}
    ; The mode asked for, or the one an earlier per-machine installation has.
    StrCpy $PerMachine 0
    ClearErrors
    ${GetOptions} $R0 "/ALLUSERS" $R1
    ${IfNot} ${Errors}
        StrCpy $PerMachine 1
    ${EndIf}
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R1 != ""
        StrCpy $PerMachine 1
    ${EndIf}
    ${If} $PerMachine = 1
        UserInfo::GetAccountType
        Pop $R1
        ${If} $R1 != "Admin"
            MessageBox MB_OK|MB_ICONSTOP "${MSG_NEED_ADMIN}" /SD IDOK
            SetErrorLevel 4
            Quit
        ${EndIf}
        ; A folder given with /D= stays; otherwise the per-user defaults give way.
        ReadRegStr $R1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
        ${If} $INSTDIR == "$LOCALAPPDATA\VornaAgent"
        ${OrIf} $INSTDIR == $R1
            ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
            StrCpy $INSTDIR "$PROGRAMFILES\VornaAgent"
            ${If} $R1 != ""
                StrCpy $INSTDIR $R1
            ${EndIf}
        ${EndIf}
        SetShellVarContext all
    ${EndIf}
    ; Never replace a newer agent by an older one unasked.
    ReadRegStr $R1 SHCTX "${UNINSTALL_KEY}" "DisplayVersion"
    ClearErrors
    ${GetOptions} $R0 "/FORCE" $R2
    ${If} ${Errors}
    ${AndIf} $R1 != ""
        ${VersionCompare} $R1 "${VERSION}" $R2
        ${If} $R2 = 1
            MessageBox MB_OK|MB_ICONSTOP "${MSG_NEWER_INSTALLED}" /SD IDOK
            SetErrorLevel 3
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

; 1 once the user has been told that something could not be removed.
Var NotRemovedShown
Section "un.${PRODUCT_NAME}" UnSecAgent
    SectionIn RO
    Call un.StopAgent
    ${If} $AgentRunning <> 0
        ; Nothing is removed while the agent runs: the admin finds the installation as it was.
        DetailPrint "Не удалось завершить ${PRODUCT_NAME}."
        MessageBox MB_OK|MB_ICONEXCLAMATION "${MSG_STILL_RUNNING_UNINSTALL}" /SD IDOK
        SetErrorLevel ${EXIT_AGENT_RUNNING}
        Abort
    ${EndIf}

    ; Another copy of the agent may have registered itself; only our own entry goes.
    ReadRegStr $1 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $1 == "$INSTDIR\${AGENT_FILE}"
        DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${EndIf}
    ${If} $PerMachine = 1
        ReadRegStr $1 HKLM "${RUN_KEY}" "${RUN_VALUE}"
        ${If} $1 == '"$INSTDIR\${AGENT_FILE}" --domain'
            DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
        ${EndIf}
    ${EndIf}
    Delete "${SHORTCUT}"

    ClearErrors
    Delete "$INSTDIR\${AGENT_FILE}"
    ${If} ${Errors}
        ; Locked, most likely by an agent in another session: keep the uninstaller and its entry
        ; so that the removal can be finished later.
        DetailPrint "Не удалось удалить $INSTDIR\${AGENT_FILE}."
        MessageBox MB_OK|MB_ICONEXCLAMATION "${MSG_STILL_RUNNING_UNINSTALL}" /SD IDOK
        SetErrorLevel ${EXIT_NOT_REMOVED}
        StrCpy $NotRemovedShown 1
    ${Else}
        ; This runs from a copy: the file in the folder can go. uninstall.exe (running, it waits
        ; for this one) removes itself and the folder.
        Delete "$INSTDIR\${UNINSTALLER_CORE_FILE}"
        DeleteRegKey SHCTX "${UNINSTALL_KEY}"
    ${EndIf}
SectionEnd

Section /o "un.Удалить сохранённые настройки" UnSecSettings
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "${SETTINGS_PARENT_KEY}"
SectionEnd

; The exit code says what is true: everything named must be gone, whatever the calls reported.
Section "-un.Check"
    StrCpy $R0 ""
    ${If} ${FileExists} "$INSTDIR\${AGENT_FILE}"
        StrCpy $R0 "$R0 $INSTDIR\${AGENT_FILE}"
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\${UNINSTALLER_CORE_FILE}"
        StrCpy $R0 "$R0 $INSTDIR\${UNINSTALLER_CORE_FILE}"
    ${EndIf}
    ${If} ${FileExists} "${SHORTCUT}"
        StrCpy $R0 "$R0 ${SHORTCUT}"
    ${EndIf}
    ClearErrors
    EnumRegValue $1 SHCTX "${UNINSTALL_KEY}" 0
    ${IfNot} ${Errors}
    ${AndIf} $1 != ""
        StrCpy $R0 "$R0 ${UNINSTALL_KEY}"
    ${EndIf}
    ReadRegStr $1 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $1 == "$INSTDIR\${AGENT_FILE}"
        StrCpy $R0 "$R0 HKCU\${RUN_KEY}\${RUN_VALUE}"
    ${EndIf}
    ReadRegStr $1 HKLM "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $1 == '"$INSTDIR\${AGENT_FILE}" --domain'
        StrCpy $R0 "$R0 HKLM\${RUN_KEY}\${RUN_VALUE}"
    ${EndIf}
    ${If} ${SectionIsSelected} ${UnSecSettings}
        ClearErrors
        EnumRegValue $1 HKCU "${SETTINGS_KEY}" 0
        ${IfNot} ${Errors}
        ${AndIf} $1 != ""
            StrCpy $R0 "$R0 HKCU\${SETTINGS_KEY}"
        ${EndIf}
    ${EndIf}
    ${If} $R0 != ""
        DetailPrint "Не удалено:$R0"
        ${If} $NotRemovedShown != 1
            MessageBox MB_OK|MB_ICONEXCLAMATION "${MSG_NOT_REMOVED}" /SD IDOK
        ${EndIf}
        SetErrorLevel ${EXIT_NOT_REMOVED}
    ${EndIf}
SectionEnd

; A silent upgrade gives the user back the agent it stopped; in the GUI the finish page offers it.
Function .onInstSuccess
    ${If} ${Silent}
    ${AndIf} $AgentWasStopped = 1
        ${If} $AgentArguments != ""
            Exec '"$INSTDIR\${AGENT_FILE}" $AgentArguments'
        ${Else}
            Exec '"$INSTDIR\${AGENT_FILE}"'
        ${EndIf}
    ${EndIf}
FunctionEnd

Function un.onInit
    ; Per machine when the machine-wide entry names this installation.
    StrCpy $PerMachine 0
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R1 == $INSTDIR
        StrCpy $PerMachine 1
        SetShellVarContext all
        UserInfo::GetAccountType
        Pop $R1
        ${If} $R1 != "Admin"
            MessageBox MB_OK|MB_ICONSTOP "${MSG_NEED_ADMIN_UNINSTALL}" /SD IDOK
            SetErrorLevel ${EXIT_NEED_ADMIN}
            Quit
        ${EndIf}
    ${EndIf}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/REMOVESETTINGS" $R1
    ${IfNot} ${Errors}
        SectionSetFlags ${UnSecSettings} ${SF_SELECTED}
    ${EndIf}
FunctionEnd
