"""Starts config_center as a robot team runs it.

    ros2 launch config_center config_center.launch.py
    ros2 launch config_center config_center.launch.py namespace:=robot1
    ros2 launch config_center config_center.launch.py ros_args:='-r __node:=config_center_a'

namespace puts the node (and its config_operate service) under that namespace. ros_args is
split like a shell command line and handed to the node after --ros-args, so remappings and
other ROS arguments reach it unchanged. The node reads no parameters of its own; what it
distributes comes from the ROBOT database.
"""

import shlex

from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument, OpaqueFunction
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import Node


def config_center_node(context):
    ros_args = shlex.split(LaunchConfiguration('ros_args').perform(context))
    return [
        Node(
            package='config_center',
            executable='config_center',
            namespace=LaunchConfiguration('namespace'),
            ros_arguments=ros_args or None,
            # A failed start-up says why on standard output only ("config center init
            # failed"); the rest goes to the node's own log under /opt/velgar/logs.
            output='screen',
        )
    ]


def generate_launch_description():
    return LaunchDescription([
        DeclareLaunchArgument(
            'namespace', default_value='',
            description='ROS namespace of the node; empty: none, as with ros2 run'),
        DeclareLaunchArgument(
            'ros_args', default_value='',
            description="further ROS arguments, e.g. '-r __node:=config_center_a'"),
        OpaqueFunction(function=config_center_node),
    ])
