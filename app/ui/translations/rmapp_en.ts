<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
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
        <source>The file %1 could not be opened.

%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The optimized file could not be created.

%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Optimizing file...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The file could not be optimized, so it was not sent to the printer.

%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Zelk Printer Tool</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>The update failed. Please install the application again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The Zelk software has been updated correctly.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
