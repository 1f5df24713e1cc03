// drive_command: ROS node "serial_writer". The operator types "t<speed>" and
// "s<angle>" on the console; the latest pair goes out on "serial" as
// pelmora/Telemetry ten times a second. A 0 after a command line, or the
// end of the console input, stops it. Usage: drive_command [ROS arguments]
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <ros/ros.h>

#include <pelmora/Telemetry.h>

#include "console_protocol.h"

// Names fixed by the ROS graph, which the robot's other nodes know. They
// say serial and telemetry, but the node writes to no serial line and
// reports nothing measured: it publishes the operator's drive commands.
static const char* const kNodeName = "serial_writer";
static const char* const kDriveCommandTopic = "serial";
typedef pelmora::Telemetry DriveCommand;

// Written by the input thread (checkInput); read by the publishing loop. It
// lives past main's frame because the input thread may outlast it.
static DriveState g_drive;

static void* checkInput(void* arg) {
  DriveState* state = static_cast<DriveState*>(arg);
  ConsoleSource stdinSource;
  initConsoleSource(&stdinSource, STDIN_FILENO, NULL, NULL);
  CommandInput console = commandInput(consoleByte, &stdinSource);
  // Blocks on the console: the operator may type nothing for a long time.
  while (state->run.load() != 0) consolePass(&console, state);
  pthread_exit(0);
}

static void publishUntilStopped(DriveState* state) {
  ros::NodeHandle node("", ros::M_string());
  ros::Publisher publisher = node.advertise<DriveCommand>(kDriveCommandTopic, 10, false);
  ros::Rate rate(10.0);
  while (ros::ok() && state->run.load() != 0) {
    DriveCommand message;
    message.speed = state->speed.load();
    message.angle = state->angle.load();
    publisher.publish(message);
    ros::spinOnce();
    rate.sleep();
  }
  // Leaving this frame releases the rate, the publisher and then the node
  // handle, whose release takes the node off the ROS graph.
}

int main(int argc, char** argv) {
  openMissingStandardStreams();
  initDriveState(&g_drive);
  // Started before ros::init so that commands typed early are in the first
  // message; joined only once publishing has ended.
  pthread_t inputThread;
  bool inputStarted = pthread_create(&inputThread, 0, checkInput, &g_drive) == 0;
  try {
    ros::init(argc, argv, kNodeName, 0);
    publishUntilStopped(&g_drive);
  } catch (const ros::Exception& e) {
    // A bad name or remapping on the command line: say so and end the whole
    // process, console thread included, rather than abort.
    fprintf(stderr, "drive_command: %s\n", e.what());
    exit(1);
  }
  // After a ROS shutdown the console still decides when the process ends.
  // Wait for it here and return rather than end only this thread: a thread
  // of roscpp's own can outlive the shutdown (interrupted before the master
  // answered, its rosout thread is never stopped) and would keep the
  // process alive after the stop command.
  if (inputStarted) pthread_join(inputThread, 0);
  return 0;
}
