@echo off
rem Settings of the Ovanta hardware service as "reg add" lines, for a fleet tool or a script.
rem Every value here is the default: edit the ones to change, delete the others, run it as an
rem administrator, then restart the service ("ovanta-hardware.exe" -stop, then -start) and
rem check with "ovanta-hardware.exe --check-config". Reference: ovanta-hardware.conf(5).
rem The service writes Log20Location and LogFlags into the subkey com.vantrel.Preferences and
rem reads it first: set those two there, as below, not in the plain key.

set HS=HKLM\SOFTWARE\Vantrel\Voxlet\HardwareService

reg add HKLM\SOFTWARE\Vantrel\Voxlet\SoftwareService /v Uri /t REG_SZ /d "http://127.0.0.1:8630/" /f
reg add %HS% /v Ports /t REG_SZ /d "" /f
reg add %HS% /v SpoolDirectory /t REG_SZ /d "C:\ProgramData\Ovanta\spool" /f
reg add %HS% /v SpoolMaxAgeDays /t REG_DWORD /d 7 /f
reg add %HS% /v ReconnectOnSoftReset /t REG_DWORD /d 0 /f
reg add %HS% /v BaudRate /t REG_DWORD /d 57600 /f
reg add %HS% /v ScanThresholdGoodPoor /t REG_DWORD /d 20 /f
reg add %HS% /v ScanThresholdExcellentGood /t REG_DWORD /d 10 /f
reg add %HS% /v ChannelAnalysis /t REG_DWORD /d 0 /f
reg add %HS% /v ChannelAnalysisFrequency /t REG_DWORD /d 60 /f
reg add %HS% /v LogServicesMessages /t REG_DWORD /d 0 /f
reg add %HS%\com.vantrel.Preferences /v Log20Location /t REG_SZ /d "%WINDIR%\Debug\OvantaHardwareService.log" /f
reg add %HS%\com.vantrel.Preferences /v LogFlags /t REG_DWORD /d 1 /f
reg add HKLM\SOFTWARE\Vantrel\Voxlet\Install /v EmailLogOn /t REG_DWORD /d 0 /f
reg add HKLM\SOFTWARE\Vantrel\Voxlet\Install /v SMTPServer /t REG_SZ /d localhost /f
reg add HKLM\SOFTWARE\Vantrel\Voxlet\Install /v EmailLogRecipient /t REG_SZ /d root@localhost /f
