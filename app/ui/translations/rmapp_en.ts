<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>FilamentLoadWidget</name>
    <message>
        <source>Load filament</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Loading the Filament</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Please wait while the extruder is heating up</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Load the filament into your Zelk</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Grab the filament and load it into the 
 extruder lightly until you feel a tug; then press the front panel button when you see the filament coming out of the nozzle.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clean the extruder nozzle</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>scrape off excess filament from the 
 nozzle using the scapring tool thing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Close</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The printer reports that filament is already loaded.
To change it, retract the filament first.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The filament was not loaded: the printer did not finish heating, or the front panel button was not pressed in time.
Please try again.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>FilamentUnloadWidget</name>
    <message>
        <source>Unload Filament</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unloading the Filament</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Please wait while the extruder heats up.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Complete unloading the filament</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Please wait while the filament is retracting.
The window will close automatically when the process is completed.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The printer reports that no filament is loaded, so there is nothing to unload.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The filament was not unloaded: the printer did not finish heating.
Please try again.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>FirmwareUpdateDialog</name>
    <message>
        <source>Firmware Update</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>It seems your printer is not attached to your computer.
Please verify that both the USB and the power cable are connected.

After the device is attached or is put in firmware upgrade mode, it may take some time for the computer to detect it.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Please wait while the printer is set up for firmware installation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot download the Zelk firmware.
Please check your internet connection and try again.
If the problem persists, please contact us for assistance.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Try again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Click Next to install the printer firmware</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uploading the firmware...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>0%</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The firmware has been installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Next</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Close</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The firmware file %1 was not used: %2.

Install the firmware delivered with the program instead?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1%</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The firmware installation did not finish in time and was stopped.
Unplug the printer&apos;s USB cable, plug it in again and install the firmware again: the printer stays in firmware update mode until a firmware has been installed.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot install the printer firmware.
Please check that the printer is connected to the computer and try again.
If the problem persist, please contact us for assistance.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The firmware has been written, but the printer has not restarted with it.
Unplug the printer&apos;s USB cable and plug it in again. If it is still not shown as connected, switch the printer off and on, and run the firmware update again.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LogsDialog</name>
    <message>
        <source>Printer Logs</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Day:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy to Clipboard</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Close</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Today</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MacInstallWindow</name>
    <message>
        <source>• Introduction</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>• Installation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>• Summary</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Welcome to your Corvane 3D Printer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Welcome to the Corvane Software installer for Linux.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Install Zelk printer software</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Click Continue to instsall the Zelk Utility app</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Summary</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The installation was completed successfully.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The installation was successful.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Go Back</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Continue</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot acquire admin rights; the application will be installed in the user directory.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The application could not be installed in %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Install the Zelk - %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Continue installs the program in %1 for everyone on this computer, with the rule that lets you use the printer. The system then asks for an administrator&apos;s password to run %2, which makes the copy. Without the password the program is installed for you alone, in %3.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The Zelk configuration is not complete yet.
Are you sure you want to exit?</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Printer Status:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Print GCODE File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Optimize</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check this box if you want to optimize the gcode to print faster and with higher quality on the Zelk.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>LOAD FILAMENT</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>RETRACT FILAMENT</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Run Test Print</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Update Firmware</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Printer logs</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Zelk Printer Tool - %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connecting</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>More than one printer connected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Press the button to start calibration</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrating</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Idle</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Pausing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Paused</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Restarting</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Sending print job</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Press button to start printing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Printing at %1°C (%2%)</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>Printing at %1°C (%2% - %n minutes left)</source>
        <translation>
            <numerusform>Printing at %1°C (%2% - %n minute left)</numerusform>
            <numerusform>Printing at %1°C (%2% - %n minutes left)</numerusform>
        </translation>
    </message>
    <message>
        <source>Loading filament - %1°C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unloading filament - %1°C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibration started</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Adjusting hot-end temperature - %1°C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrating build plate</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrating carriage - %1°C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibration complete - %1°C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Filament broken or run out</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Please select the file to print</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>GCODE files (*.gcode);;All files (*.*)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uploading file to printer...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file could not be sent to the printer.

%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Zelk Printer Tool</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;b&gt;Warning&lt;/b&gt;: You can reduce filament jams by loading new filament on top of the old rather than unloading then reloading.&lt;br/&gt;&lt;br/&gt;Are you sure you want to unload?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;b&gt;Warning&lt;/b&gt;: this firmware will disable the Wi-Fi on your Zelk and it will no longer be able to connect to the Corvane Store. It will print only from this desktop application.&lt;br/&gt;&lt;br/&gt;This update also includes some performance improvements to the Zelk, so you may see higher print speeds and improved print quality.&lt;br/&gt;&lt;br/&gt;Do you want to flash the firmware?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Held by another program</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Another program has the printer open (%1). A printer talks to one program at a time.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Held by %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 (PID %2) has the printer open (%3). A printer talks to one program at a time.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No permission to use the printer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>This user may not open the printer (%1). Install the program&apos;s .deb package (its udev rule gives access) or join the group zelkd, then plug the printer in again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The printer could not be opened</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 could not be opened; trying again.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>OutOfFilamentDialog</name>
    <message>
        <source>Out of Filament</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;h2  style=&quot; font-weight:600; text-decoration: none; color:#d0021b;&quot;&gt;Filament has broken or run out&lt;/h2&gt;
&lt;p&gt;
Your printer has automatically paused.&lt;/p&gt;
&lt;p&gt;In order to resume your print you need to unload the remaining filament and load in new filament.&lt;/p&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start Filament Unload</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;h2  style=&quot; font-weight:600; text-decoration: none; color:#ff0088;&quot;&gt;Load new filament&lt;/h2&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Please load new filament to resume your print by starting the load filament process below.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Filament Load</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;h2  style=&quot; font-weight:600; text-decoration: none; color:#ff0088;&quot;&gt;Filament Load Successful&lt;/h2&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Your printer is ready.
Press the front panel button to resume printing.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>PrintPreviewDialog</name>
    <message>
        <source>Print Preview</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reading the file...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;span style=&quot;color:#ff0088&quot;&gt;&amp;#9632;&lt;/span&gt; extrusion &amp;nbsp; &lt;span style=&quot;color:#5a6e8c&quot;&gt;&amp;#9472;&lt;/span&gt; travel &amp;nbsp; &lt;span style=&quot;color:#bbbbbb&quot;&gt;&amp;#9632;&lt;/span&gt; layer below</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Print time</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Heating</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Filament</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fits the printer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build volume...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Optimized</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Print</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 h %2 min</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 min %2 s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 × %2 × %3 mm</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not checked: the printer&apos;s build volume is not set.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Nothing is extruded.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 from %2 to %3 mm</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No: %1 × %2 × %3 mm is larger than the build volume, %4.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No: it reaches outside the build volume, %1 from the origin (%2).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Yes, in the build volume of %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build Volume</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The space the printer prints in, from the origin of its coordinates. Files are checked against it before they are sent.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Width (X)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Depth (Y)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Height (Z)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source> mm</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Do Not Check</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file cannot be read: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 (slicer says %2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>hot end %1 °C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>bed %1 °C</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>%n heating waits, not in the print time</source>
        <translation>
            <numerusform>%n heating wait, not in the print time</numerusform>
            <numerusform>%n heating waits, not in the print time</numerusform>
        </translation>
    </message>
    <message>
        <source>none</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 m, %2 g</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 (slicer says %2 m)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>nothing is extruded</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No layers to show.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Layer %1 of %2, at %3 mm</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Optimizing... %1%</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file %1 could not be opened: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The optimized file could not be created: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file is sent when this is done.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 moves before, %2 after</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file could not be optimized, so it cannot be sent optimized. Untick Optimize in the window to send it as it is.

%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Layer %1 of %2, at %3 mm (its first %4 moves)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 moves before, %2 after (%3% fewer)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RMGcodeAnalysis</name>
    <message>
        <source>The file is empty.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file is binary G-code, which this analysis does not read.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file holds binary data (a zero byte at byte %1): it is not a G-code text.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Lines longer than 1 MiB were skipped: %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Lines with numbers beyond a printer&apos;s reach or not plain decimals were left out: %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file has no moves: nothing would be printed.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Nothing is extruded: the file moves the head but lays no filament.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file turns volumetric extrusion on (M200): its E values are read as lengths of filament all the same.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file changes tools (T%1): the time of a tool change is left out, and the filament of all tools is added up.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>More than %1 layers: the rest are counted in the last.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The G-code is not open for reading.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The analysis was cancelled.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not read the G-code: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 is a directory.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 is not a regular file.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not open %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RMOptimizeTask</name>
    <message>
        <source>The optimization was cancelled.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A line after byte %1 of the G-code is longer than %2 bytes.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not read the G-code: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not write the optimized G-code: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>StartModes</name>
    <message>
        <source>The update failed. Please install the application again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The Zelk software has been updated correctly.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TestPrintDialog</name>
    <message>
        <source>Zelk Test Print</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The test print is a small calibration plate: a square base with a raised frame on top, a few layers high. It takes a few minutes and shows that your Zelk is calibrated and prints cleanly.

Make sure that filament is loaded and the build plate is empty, then press Next to send the test print to the printer.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The printer button should now be flashing.
Press it to start the print.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrating - Temperature: ---</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Printing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Yay! Let&apos;s get back to work</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Next</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The test print could not be sent to the printer.
Please check that the printer is connected and idle, and try again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uploading file to printer...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The test print could not be sent to the printer.

%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Close</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrating - Temperature: %1°C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibration started</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Adjusting hot-end temperature: %1°C</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Adjusting hot-end temperature</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrating build plate</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibrating carriage</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calibration complete</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>The print will complete in about %n minutes.</source>
        <translation>
            <numerusform>The print will complete in about %n minute.</numerusform>
            <numerusform>The print will complete in about %n minutes.</numerusform>
        </translation>
    </message>
    <message>
        <source>There was an error during the test print.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The printer was disconnected during the test print.
Please check that both the USB and the power cable are connected, then run the test print again.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
