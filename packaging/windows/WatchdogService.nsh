; What the setup and the uninstaller both do: keep a log of every step in
; $INSTDIR\log\Setup.log, run a command and log its exit code and output,
; and stop the watchdog's service and wait until its process has ended.
; Each function exists twice, plain for the setup and "un." for the
; uninstaller, as NSIS requires.

!include LogicLib.nsh

!define SERVICE_NAME "REdodevaz"
; How long the watchdog may take to end after the stop request: its worker
; finishes the pass under way first. Past this it is ended by force.
!define STOP_WAIT_MS 60000

!macro WATCHDOG_SERVICE_FUNCTIONS un

; Appends "YYYY-MM-DD HH:MM:SS text" to the setup log and shows the text.
; Takes the text from the stack.
Function ${un}Log
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  DetailPrint "$R0"
  System::Call '*(&i16) p .R1'
  System::Call 'kernel32::GetLocalTime(p R1)'
  System::Call '*$R1(&i2 .R2, &i2 .R3, &i2, &i2 .R4, &i2 .R5, &i2 .R6, &i2 .R7, &i2)'
  System::Free $R1
  IntFmt $R3 "%02u" $R3
  IntFmt $R4 "%02u" $R4
  IntFmt $R5 "%02u" $R5
  IntFmt $R6 "%02u" $R6
  IntFmt $R7 "%02u" $R7
  CreateDirectory "$INSTDIR\log"
  FileOpen $R1 "$INSTDIR\log\Setup.log" a
  ${If} $R1 != ""
    FileSeek $R1 0 END
    FileWrite $R1 "$R2-$R3-$R4 $R5:$R6:$R7 $R0$\r$\n"
    FileClose $R1
  ${EndIf}
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; Runs the command line on the stack without a window, logs
; "run: COMMAND -> exit N" and what it printed, and leaves the exit code
; ("error" when it could not be started) on the stack.
Function ${un}Run
  Exch $R0
  Push $R1
  Push $R2
  nsExec::ExecToStack '$R0'
  Pop $R1
  Pop $R2
  Push "run: $R0 -> exit $R1"
  Call ${un}Log
  ${If} $R2 != ""
    Push "  $R2"
    Call ${un}Log
  ${EndIf}
  StrCpy $R0 $R1
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; Stops the watchdog's service when it runs and waits until its process has
; ended, not merely until the service reports STOPPED: the process holds
; port 30024 until it exits. Leaves 1 on the stack when the service is
; registered, 0 when it is not.
Function ${un}StopWatchdog
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  StrCpy $R6 0
  ; SC_MANAGER_CONNECT; SERVICE_QUERY_STATUS | SERVICE_STOP.
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x1) p .R0'
  ${If} $R0 P<> 0
    System::Call 'advapi32::OpenServiceW(p R0, w "${SERVICE_NAME}", i 0x24) p .R1'
    ${If} $R1 P<> 0
      StrCpy $R6 1
      ; SERVICE_STATUS_PROCESS: the state is its 2nd DWORD, the pid its 8th.
      System::Call '*(&i36) p .R2'
      System::Call 'advapi32::QueryServiceStatusEx(p R1, i 0, p R2, i 36, *i .R5) i .R3'
      System::Call '*$R2(i, i .R3, i, i, i, i, i, i .R4, i)'
      ${If} $R4 <> 0
        ; SYNCHRONIZE | PROCESS_TERMINATE, taken before the stop request so
        ; the process cannot end unseen.
        System::Call 'kernel32::OpenProcess(i 0x100001, i 0, i R4) p .R5'
        Push "stopping service ${SERVICE_NAME} (state $R3, process $R4)"
        Call ${un}Log
        System::Call 'advapi32::ControlService(p R1, i 1, p R2) i'
        ${If} $R5 P<> 0
          System::Call 'kernel32::WaitForSingleObject(p R5, i ${STOP_WAIT_MS}) i .R3'
          ${If} $R3 = 0
            Push "process $R4 of ${SERVICE_NAME} has ended"
            Call ${un}Log
          ${Else}
            System::Call 'kernel32::TerminateProcess(p R5, i 1) i'
            System::Call 'kernel32::WaitForSingleObject(p R5, i 10000) i .R3'
            Push "process $R4 of ${SERVICE_NAME} did not end within ${STOP_WAIT_MS} ms: terminated (wait result $R3)"
            Call ${un}Log
          ${EndIf}
          System::Call 'kernel32::CloseHandle(p R5)'
        ${EndIf}
      ${Else}
        Push "service ${SERVICE_NAME} is registered and not running"
        Call ${un}Log
      ${EndIf}
      System::Free $R2
      System::Call 'advapi32::CloseServiceHandle(p R1)'
    ${Else}
      Push "service ${SERVICE_NAME} is not registered"
      Call ${un}Log
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p R0)'
  ${Else}
    Push "cannot open the service manager"
    Call ${un}Log
  ${EndIf}
  StrCpy $R0 $R6
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

!macroend

!insertmacro WATCHDOG_SERVICE_FUNCTIONS ""
!insertmacro WATCHDOG_SERVICE_FUNCTIONS "un."
