; Quillon's setup. It installs for the current user only, without administrator rights, into
; %LOCALAPPDATA%\Programs\Quillon: a folder the user owns, so that the program can rename and replace
; its own file there when it updates itself.
;   makensis -DVERSION=1.0.0 -DPAYLOAD=FOLDER -DFILES=files.nsh -DICON=Icon.ico -DSIDE=side.bmp
;            -DOUTFILE=Quillon-setup.exe setup.nsi
; PAYLOAD holds the programs and the licences folder, as in the portable zip, and FILES a Delete line
; for each of its files; SIDE is the 164x314 picture of the first and last pages.
; Switches: /S installs silently; /SETTINGS=FILE installs FILE (an encrypted settings file made with
; quillon-settings) as settings.ini; /D=FOLDER, last, installs elsewhere. The uninstaller takes /S.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WordFunc.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "Quillon"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Quillon"
; A reinstall goes where the last one went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Brightfen"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Quillon"
VIAddVersionKey /LANG=1033 "CompanyName" "Brightfen"
VIAddVersionKey /LANG=1033 "FileDescription" "Quillon setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Brightfen"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${SIDE}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "$(WelcomeText)"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartQuillon
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The first language is the fallback; Russian is chosen on a Russian Windows.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

Var SettingsFile
LangString WelcomeText ${LANG_ENGLISH} "Setup will install Quillon, Brightfen's software manager, for you alone: no administrator rights are needed. Quillon then keeps itself and Brightfen's software up to date.$\r$\n$\r$\nIf Quillon is running from its folder, Setup closes it.$\r$\n$\r$\nClick Next to continue."
LangString WelcomeText ${LANG_RUSSIAN} "Программа установит Quillon, менеджер программ Brightfen, только для вас: права администратора не нужны. Затем Quillon сам обновляет себя и программы Brightfen.$\r$\n$\r$\nЕсли Quillon запущен из своей папки, программа установки закроет его.$\r$\n$\r$\nНажмите «Далее», чтобы продолжить."
LangString NoSettingsFile ${LANG_ENGLISH} "The settings file $SettingsFile does not exist."
LangString NoSettingsFile ${LANG_RUSSIAN} "Файл настроек $SettingsFile не найден."
LangString SettingsNotCopied ${LANG_ENGLISH} "Could not install the settings file $SettingsFile."
LangString SettingsNotCopied ${LANG_RUSSIAN} "Не удалось установить файл настроек $SettingsFile."
LangString QuillonNotStopped ${LANG_ENGLISH} "Quillon is still running from $INSTDIR. Exit it and try again."
LangString QuillonNotStopped ${LANG_RUSSIAN} "Quillon всё ещё запущен из $INSTDIR. Закройте его и повторите."

; Ends the Quillon that runs from this folder, and only that one (a portable copy elsewhere keeps
; running): its file cannot be replaced or removed while it runs. Leaves $0 at 1 when it still runs.
!macro StopQuillon prefix
Function ${prefix}StopQuillon
    Push $1
    Push $2
    Push $3
    Push $4
    StrCpy $0 0
    System::Call "kernel32::CreateToolhelp32Snapshot(i 2, i 0) p .r1"
    ${If} $1 P<> -1
        ; PROCESSENTRY32W: 568 bytes on x64, the process id at offset 8.
        System::Alloc 568
        Pop $2
        System::Call "*$2(i 568)"
        System::Call "kernel32::Process32FirstW(p r1, p r2) i .r3"
        ${DoWhile} $3 <> 0
            System::Call "*$2(i, i, i .r3)"
            ; PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE
            System::Call "kernel32::OpenProcess(i 0x101001, i 0, i r3) p .r3"
            ${If} $3 P<> 0
                System::Call "kernel32::QueryFullProcessImageNameW(p r3, i 0, w .r4, *i ${NSIS_MAX_STRLEN}) i"
                ${If} $4 == "$INSTDIR\Quillon.exe"
                    System::Call "kernel32::TerminateProcess(p r3, i 1) i"
                    System::Call "kernel32::WaitForSingleObject(p r3, i 10000) i .r4"
                    ${If} $4 <> 0
                        StrCpy $0 1
                    ${EndIf}
                ${EndIf}
                System::Call "kernel32::CloseHandle(p r3) i"
            ${EndIf}
            System::Call "kernel32::Process32NextW(p r1, p r2) i .r3"
        ${Loop}
        System::Free $2
        System::Call "kernel32::CloseHandle(p r1) i"
    ${EndIf}
    Pop $4
    Pop $3
    Pop $2
    Pop $1
FunctionEnd
!macroend
!insertmacro StopQuillon ""
!insertmacro StopQuillon "un."

Function .onInit
    ${GetParameters} $0
    ; cmd passes /SETTINGS="C:\a b\s.ini" as typed; PowerShell and most launchers quote the whole
    ; argument instead, "/SETTINGS=C:\a b\s.ini".
    ${WordReplace} $0 '"/SETTINGS=' '/SETTINGS="' "+" $0
    ClearErrors
    ${GetOptions} $0 "/SETTINGS=" $SettingsFile
    ${If} ${Errors}
        StrCpy $SettingsFile ""
    ${Else}
        ; A relative name means the folder the setup was started from.
        GetFullPathName $SettingsFile $SettingsFile
        ${IfNot} ${FileExists} $SettingsFile
        ${OrIf} ${FileExists} "$SettingsFile\*.*"
            MessageBox MB_ICONSTOP "$(NoSettingsFile)" /SD IDOK
            SetErrorLevel 2
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

Section
    Call StopQuillon
    ${If} $0 <> 0
        MessageBox MB_ICONSTOP "$(QuillonNotStopped)" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    ; Only the program's own files: settings.ini, LogFile.log and the check cache of an earlier
    ; install stay as they are.
    SetOutPath "$INSTDIR"
    File /r "${PAYLOAD}/*"
    ${If} $SettingsFile != ""
        ClearErrors
        CopyFiles /SILENT "$SettingsFile" "$INSTDIR\settings.ini"
        ${If} ${Errors}
            MessageBox MB_ICONSTOP "$(SettingsNotCopied)" /SD IDOK
            SetErrorLevel 2
            Quit
        ${EndIf}
    ${EndIf}
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\Quillon.lnk" "$INSTDIR\Quillon.exe" "" "$INSTDIR\Quillon.exe" 0
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quillon"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Brightfen"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quillon.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    ; With _?= the uninstaller runs where it is instead of from a copy that outlives it, so that
    ; whoever starts it (IT's deployment tools) can wait for it and read its exit code.
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The finish page's "Run Quillon": from its folder, where it keeps its log.
Function StartQuillon
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\Quillon.exe"'
FunctionEnd

; The clean-up copy of the uninstaller: waits up to 30 s for the uninstaller's file to be free.
Function un.onInit
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/CLEANUP=" $1
    ${IfNot} ${Errors}
        ${For} $2 1 300
            Delete "$1\uninstall.exe"
            ${IfNot} ${FileExists} "$1\uninstall.exe"
                ${Break}
            ${EndIf}
            Sleep 100
        ${Next}
        RMDir "$1"
        Quit
    ${EndIf}
FunctionEnd

; Removes what the setup and the program put in the program folder, and nothing else: software that
; Quillon installed lives in folders of its own, and a folder of it inside this one stays.
Section Uninstall
    Call un.StopQuillon
    ${If} $0 <> 0
        MessageBox MB_ICONSTOP "$(QuillonNotStopped)" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    !include "${FILES}"
    RMDir /r "$INSTDIR\licences"
    ; What the program writes beside itself: settings, log, check cache, the instance lock, what a
    ; self-update leaves until the next start, a partial download of its own file, the drivers'
    ; temporary folder.
    Delete "$INSTDIR\settings.ini"
    Delete "$INSTDIR\LogFile.log"
    Delete "$INSTDIR\UpdateCheckCache.json"
    Delete "$INSTDIR\Quillon.lock"
    Delete "$INSTDIR\Old.exe"
    Delete "$INSTDIR\delete.bat"
    Delete "$INSTDIR\Quillon.exe.*.part"
    RMDir /r "$INSTDIR\Drivers"
    ; Started in place (_?=), this uninstaller cannot delete its own file: a copy of it in the
    ; temporary folder removes the file and the folder once this process has ended.
    Delete "$INSTDIR\uninstall.exe"
    ${If} ${FileExists} "$INSTDIR\uninstall.exe"
        CopyFiles /SILENT "$EXEPATH" "$TEMP\Quillon-uninstall.exe"
        Exec '"$TEMP\Quillon-uninstall.exe" /CLEANUP="$INSTDIR" _?=$TEMP'
    ${Else}
        RMDir "$INSTDIR"
    ${EndIf}
    Delete "$SMPROGRAMS\Quillon.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    ; The start-with-Windows value, when it starts this copy.
    ReadRegStr $0 HKCU "${RUN_KEY}" "Quillon"
    ${If} $0 == "$INSTDIR\Quillon.exe"
    ${OrIf} $0 == '"$INSTDIR\Quillon.exe"'
        DeleteRegValue HKCU "${RUN_KEY}" "Quillon"
    ${EndIf}
SectionEnd
