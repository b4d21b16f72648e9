@echo off
rem capture.bat OUTDIR - copies what UnInstall.exe reads from this machine
rem into the folder OUTDIR, so that uninstall-sim can show on another
rem computer what the uninstaller would do here, and make an undo kit.
rem
rem Runs under Windows 98's command.com and Windows 2000's cmd.exe with
rem their own tools only: regedit /e, copy, attrib, ver, echo, md, del, ren.
rem It only reads: everything it writes goes into OUTDIR.
rem
rem How to run it: put a formatted floppy in drive A: (a typical capture
rem takes well under 1.4 MB) and, from an MS-DOS Prompt or a command prompt
rem in the folder that holds this file, type
rem
rem     capture A:
rem
rem or give an empty folder on a hard disk, without spaces and without a
rem backslash at the end (capture C:\CAPTURE). OUTDIR may be at most 20
rem characters long, and the name it is started by (capture, or a path such
rem as A:\CAPTURE.BAT) at most 16. Then take OUTDIR to the computer with
rem uninstall-sim and run: uninstall-sim --undo KIT OUTDIR
rem
rem What it writes into OUTDIR:
rem   registry.reg  the keys below, exported one by one and joined
rem   tried.txt     the keys it tried to export, one a line
rem   captured.txt  those of them that were there to export
rem   machine.txt   the Windows directory
rem   ver.txt       the Windows version, as ver shows it
rem   windir\       the package's and the system's files the uninstaller
rem                 may delete or change, below the Windows directory; a
rem                 folder where one of them is expected, as an empty folder
rem   attrib.txt    their attributes, and those of files of the same names
rem                 elsewhere below the Windows directory
rem
rem command.com cuts every line, once the parameters and the Windows
rem directory are put in, at 127 characters, and a DOS program such as
rem start or attrib gets at most 126 of them. Every line here fits for the
rem bounds above and a Windows directory of up to 66 characters, blanks
rem allowed: the longest folder MS-DOS, and so Windows 98, can have
rem (Windows 2000's cmd.exe has no such limit). Hence the short piece file
rem r.r, the files copied first into OUTDIR itself, their attributes found
rem by name with attrib /s, and no quotes around keys without blanks. The
rem companion product's key is too long for start even with no OUTDIR; its
rem parent Uninstall key, which holds it, is exported instead, with the
rem other programs' uninstall entries.
rem
rem Windows 98 does not wait for a Windows program such as regedit started
rem from a batch file, so every regedit runs through start /w. A key this
rem machine does not have gives no export and no line in captured.txt.

if "%1"=="/p" goto piece
if "%1"=="/f" goto file
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
call %0 /p %1 HKEY_LOCAL_MACHINE\Enum
call %0 /p %1 HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class
call %0 /p %1 "HKEY_DYN_DATA\Config Manager\Enum"
call %0 /p %1 HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons
call %0 /p %1 HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Windows
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet002\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet003\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet004\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet005\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet006\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet007\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet008\Services\USBSTOR
call %0 /p %1 HKEY_LOCAL_MACHINE\SYSTEM\ControlSet009\Services\USBSTOR

rem The files, at their places below the Windows directory.
md %1\windir
md %1\windir\inf
md %1\windir\inf\other
md %1\windir\system
md %1\windir\system\iosubsys
md %1\windir\system32
md %1\windir\system32\drivers
call %0 /f %1 inf\other USBOEM01.inf
call %0 /f %1 inf USBOEM01.inf
call %0 /f %1 inf MSZEVUmss.PNF
call %0 /f %1 system32\drivers WDMOEM01.sys
call %0 /f %1 system\iosubsys PDROEM01.pdr
call %0 /f %1 inf usbstor.inf
call %0 /f %1 system32\drivers USBSTORSP3.SYS
echo Done. Take %1 to the computer with uninstall-sim.
goto end

:piece
rem /p OUTDIR KEY: names KEY in tried.txt, exports it to OUTDIR\r.r and,
rem when there was such a key, names it in captured.txt and appends the
rem export to registry.reg, byte for byte.
echo %3>> %2\tried.txt
start /w regedit /e %2\r.r %3
if not exist %2\r.r goto end
echo %3>> %2\captured.txt
if not exist %2\registry.reg goto first
copy /b %2\registry.reg+%2\r.r %2\j.r > nul
del %2\registry.reg
ren %2\j.r registry.reg
del %2\r.r
goto end
:first
ren %2\r.r registry.reg
goto end

:file
rem /f OUTDIR FOLDER NAME: copies the Windows directory's FOLDER\NAME, with
rem its date, to OUTDIR\windir\FOLDER by way of OUTDIR (the whole path would
rem not fit in a line) and records its attributes. A folder of that name is
rem recorded as a folder. A file is no folder: "if exist" alone sees folders
rem under cmd.exe but not under command.com, NAME\nul under both.
if exist "%windir%\%3\%4\nul" goto folder
if not exist "%windir%\%3\%4" goto end
copy "%windir%\%3\%4" %2
copy %2\%4 %2\windir\%3 > nul
attrib -r %2\%4
del %2\%4
attrib "%windir%\%4" /s>> %2\attrib.txt
goto end
:folder
md %2\windir\%3\%4
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
