@echo off
rem capture.bat OUTDIR - copies what UnInstall.exe reads from this machine
rem into the folder OUTDIR, so that uninstall-sim can show on another
rem computer what the uninstaller would do here, and make an undo kit.
rem
rem Runs under Windows 98's command.com and Windows 2000's cmd.exe with
rem their own tools only: regedit /e, copy, attrib, ver, echo, md, del.
rem It only reads: everything it writes goes into OUTDIR.
rem
rem How to run it: put a formatted floppy in drive A: (a typical capture
rem takes well under 1.4 MB) and, from an MS-DOS Prompt or a command prompt
rem in the folder that holds this file, type
rem
rem     capture A:
rem
rem or give an empty folder on a hard disk, without spaces and without a
rem backslash at the end (capture C:\CAPTURE). Then take OUTDIR to the
rem computer with uninstall-sim and run: uninstall-sim --dry-run OUTDIR
rem
rem What it writes into OUTDIR:
rem   registry.reg  the keys below, exported one by one and joined
rem   captured.txt  the keys that were there to export
rem   machine.txt   the Windows directory
rem   ver.txt       the Windows version, as ver shows it
rem   windir\       the package's and the system's files the uninstaller
rem                 may delete or change, below the Windows directory
rem   attrib.txt    their attributes
rem
rem Windows 98 does not wait for a Windows program such as regedit started
rem from a batch file, so every regedit runs through start /w. A key this
rem machine does not have gives no export and no line in captured.txt.

if "%1"=="/piece" goto piece
if "%1"=="/join" goto join
if "%1"=="/file" goto file
if "%1"=="" goto usage
if exist %1\registry.reg goto used
if not exist %1\nul md %1
if not exist %1\nul goto nofolder

echo Capturing this machine into %1 ...
echo # Captured by capture.bat: the Windows directory, as %%windir%% names it.> %1\machine.txt
echo windows-directory "%windir%">> %1\machine.txt
ver > %1\ver.txt

rem The keys: the device and class trees and the live device tree (Windows
rem 98), the USB storage service of every control set (Windows 2000), the
rem service pack (Windows 2000), the drive icons and the companion product.
call %0 /piece %1 01 "HKEY_LOCAL_MACHINE\Enum"
call %0 /piece %1 02 "HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class"
call %0 /piece %1 03 "HKEY_DYN_DATA\Config Manager\Enum"
call %0 /piece %1 04 "HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons"
call %0 /piece %1 05 "HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}"
call %0 /piece %1 06 "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Windows"
call %0 /piece %1 07 "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\USBSTOR"
call %0 /piece %1 11 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\USBSTOR"
call %0 /piece %1 12 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet002\Services\USBSTOR"
call %0 /piece %1 13 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet003\Services\USBSTOR"
call %0 /piece %1 14 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet004\Services\USBSTOR"
call %0 /piece %1 15 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet005\Services\USBSTOR"
call %0 /piece %1 16 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet006\Services\USBSTOR"
call %0 /piece %1 17 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet007\Services\USBSTOR"
call %0 /piece %1 18 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet008\Services\USBSTOR"
call %0 /piece %1 19 "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet009\Services\USBSTOR"
for %%f in (01 02 03 04 05 06 07 11 12 13 14 15 16 17 18 19) do call %0 /join %1 %%f

rem The files, at their places below the Windows directory.
md %1\windir
md %1\windir\inf
md %1\windir\inf\other
md %1\windir\system
md %1\windir\system\iosubsys
md %1\windir\system32
md %1\windir\system32\drivers
call %0 /file %1 inf\other\USBOEM01.inf
call %0 /file %1 inf\USBOEM01.inf
call %0 /file %1 inf\MSZEVUmss.PNF
call %0 /file %1 system32\drivers\WDMOEM01.sys
call %0 /file %1 system\iosubsys\PDROEM01.pdr
call %0 /file %1 inf\usbstor.inf
call %0 /file %1 system32\drivers\USBSTORSP3.SYS
echo Done. Take %1 to the computer with uninstall-sim.
goto end

:piece
rem /piece OUTDIR NN "KEY": exports KEY to OUTDIR\rNN.reg and, when there
rem was such a key, names it in captured.txt.
start /w regedit /e %2\r%3.reg %4
if exist %2\r%3.reg echo %4>> %2\captured.txt
goto end

:join
rem /join OUTDIR NN: appends OUTDIR\rNN.reg to registry.reg, byte for byte.
if not exist %2\r%3.reg goto end
if exist %2\registry.reg copy /b %2\registry.reg+%2\r%3.reg %2\joined.tmp > nul
if exist %2\registry.reg copy /b %2\joined.tmp %2\registry.reg > nul
if exist %2\joined.tmp del %2\joined.tmp
if not exist %2\registry.reg copy /b %2\r%3.reg %2\registry.reg > nul
del %2\r%3.reg
goto end

:file
rem /file OUTDIR PATH: copies the Windows directory's PATH, with its date,
rem and records its attributes.
if not exist "%windir%\%3" goto end
copy "%windir%\%3" "%2\windir\%3" > nul
attrib "%windir%\%3" >> %2\attrib.txt
goto end

:usage
echo Usage: capture OUTDIR   (for example: capture A:)
goto end

:used
echo %1 already holds a capture: give an empty floppy or folder.
goto end

:nofolder
echo Cannot make the folder %1.
goto end

:end
