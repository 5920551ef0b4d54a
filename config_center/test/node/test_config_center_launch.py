"""config_center started through its installed launch file, beside a target node.

The target (tools' param_target) comes up first; once it says `ready`, the test includes
config_center.launch.py with a namespace and a node-name remapping passed through ros_args.
The tests then check what a robot team would see: the item in the database at start-up
reaches the target, an UPDATE and an INSERT made while the node runs reach the target and
the configs directory, the operator service answers under the namespace, and both processes
stop cleanly when launch ends. Real processes over Cyclone DDS, the isolated MariaDB (the
`mariadb` client is its administrator there) and real files.
"""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import IncludeLaunchDescription, RegisterEventHandler
from launch.event_handlers import OnProcessIO
from launch.launch_description_sources import PythonLaunchDescriptionSource
from launch_ros.actions import Node
import launch_testing
import launch_testing.actions
import launch_testing.asserts
import pytest
from rcl_interfaces.srv import GetParameters
import rclpy
from velgar_protocol.srv import ConfigOperate

NAMESPACE = 'launch_robot'
CENTER = 'center_under_launch'
TARGET = 'launch_arm'
CONFIGS = '/opt/velgar/configs'
FILE_ITEM = 'launch_test_lidar.yaml'
# Generous: the machine may be busy building while this runs.
START_TIMEOUT = 30.0
CHANGE_TIMEOUT = 10.0

# launch_ros writes a launch_params_* file for every node given parameters and never
# removes it; keep whatever it writes in a directory of this run's own.
_tmpdir = tempfile.mkdtemp(prefix='config_center_launch_test.')
os.environ['TMPDIR'] = _tmpdir
tempfile.tempdir = _tmpdir


def sql(statement):
    subprocess.run(['mariadb', 'ROBOT', '-e', statement], check=True, timeout=30)


def reset_tables():
    # Items left by another suite would name nodes that do not run here, and start-up
    # ends on an item it cannot distribute.
    sql('TRUNCATE TABLE global_config; TRUNCATE TABLE custom_config; '
        'TRUNCATE TABLE config_table_changes')


@pytest.mark.launch_test
def generate_test_description():
    reset_tables()
    sql("INSERT INTO global_config (name, value, node_name, config_type) "
        f"VALUES ('max_speed', '1.5', '{TARGET}', 1), ('mode', 'auto', '{TARGET}', 1)")

    target = Node(
        package='config_center_tools', executable='param_target',
        arguments=['--name', TARGET, '--double', 'max_speed=0.0', '--string', 'mode=idle'],
        output='screen')
    center_launch = IncludeLaunchDescription(
        PythonLaunchDescriptionSource(os.path.join(
            get_package_share_directory('config_center'), 'launch', 'config_center.launch.py')),
        launch_arguments={
            'namespace': NAMESPACE,
            'ros_args': f'-r __node:={CENTER} --log-level warn',
        }.items())
    started = []

    def start_center_once_target_ready(event):
        # A target that is not up yet fails start-up, as on a robot; so wait for it.
        if not started and b'ready' in event.text:
            started.append(True)
            return [center_launch]
        return None

    return LaunchDescription([
        target,
        RegisterEventHandler(OnProcessIO(
            target_action=target, on_stdout=start_center_once_target_ready)),
        launch_testing.actions.ReadyToTest(),
    ]), {'target': target}


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def file_text(path):
    try:
        with open(path, encoding='utf-8') as f:
            return f.read()
    except FileNotFoundError:
        return None


class ChangesReachTheTarget(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        rclpy.init()
        cls.node = rclpy.create_node('config_center_launch_test')

    @classmethod
    def tearDownClass(cls):
        cls.node.destroy_node()
        rclpy.shutdown()

    def call(self, service_type, name, request, timeout):
        client = self.node.create_client(service_type, name)
        try:
            if not client.wait_for_service(timeout_sec=timeout):
                return None
            future = client.call_async(request)
            rclpy.spin_until_future_complete(self.node, future, timeout_sec=timeout)
            return future.result()
        finally:
            self.node.destroy_client(client)

    def target_parameter(self, name):
        response = self.call(GetParameters, f'/{TARGET}/get_parameters',
                             GetParameters.Request(names=[name]), 5.0)
        self.assertIsNotNone(response, f'/{TARGET}/get_parameters did not answer')
        self.assertEqual(len(response.values), 1)
        return response.values[0]

    def test_start_up_and_changes_reach_the_target(self, proc_output, target):
        # The service exists only once start-up has distributed both tables.
        response = self.call(ConfigOperate, f'/{NAMESPACE}/config_operate',
                             ConfigOperate.Request(), START_TIMEOUT)
        self.assertIsNotNone(response, f'/{NAMESPACE}/config_operate never came up')
        self.assertTrue(response.success)
        # Named and placed by the launch arguments (the name arrives a little after the node).
        self.assertTrue(wait_for(
            lambda: (CENTER, f'/{NAMESPACE}') in self.node.get_node_names_and_namespaces(), 5.0),
            self.node.get_node_names_and_namespaces())

        # Start-up: sent as the types the target declared.
        proc_output.assertWaitFor(
            f'set {TARGET}.max_speed type=double value=1.500000', process=target, timeout=5,
            stream='stdout')
        proc_output.assertWaitFor(
            f'set {TARGET}.mode type=string value="auto"', process=target, timeout=5,
            stream='stdout')

        sql("UPDATE global_config SET value = '2.25' WHERE name = 'max_speed'")
        proc_output.assertWaitFor(
            f'set {TARGET}.max_speed type=double value=2.250000', process=target,
            timeout=CHANGE_TIMEOUT, stream='stdout')
        self.assertEqual(self.target_parameter('max_speed').double_value, 2.25)

        sql("INSERT INTO custom_config (name, value, node_name, config_type) "
            f"VALUES ('mode', 'manual', '{TARGET}', 1)")
        proc_output.assertWaitFor(
            f'set {TARGET}.mode type=string value="manual"', process=target,
            timeout=CHANGE_TIMEOUT, stream='stdout')
        self.assertEqual(self.target_parameter('mode').string_value, 'manual')

    def test_file_items_come_and_go(self):
        path = os.path.join(CONFIGS, FILE_ITEM)
        sql("INSERT INTO global_config (name, value, node_name, config_type) "
            f"VALUES ('{FILE_ITEM}', 'range_m: 40\\n', '', 2)")
        self.assertTrue(wait_for(lambda: file_text(path) == 'range_m: 40\n', START_TIMEOUT),
                        f'{path} holds {file_text(path)!r}')
        sql(f"DELETE FROM global_config WHERE name = '{FILE_ITEM}'")
        self.assertTrue(wait_for(lambda: not os.path.exists(path), CHANGE_TIMEOUT),
                        f'{path} was not removed')


@launch_testing.post_shutdown_test()
class AfterShutdown(unittest.TestCase):

    def test_both_stopped_cleanly(self, proc_info):
        # launch ends its processes with SIGINT; both exit 0 on it.
        launch_testing.asserts.assertExitCodes(proc_info)

    @classmethod
    def tearDownClass(cls):
        reset_tables()
        shutil.rmtree(_tmpdir, ignore_errors=True)
