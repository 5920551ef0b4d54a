-- Items for the demo: parameters of the demo node "demo_arm" and two configuration files.
USE ROBOT;
INSERT INTO global_config (name, value, node_name, config_type) VALUES
  ('max_speed', '1.5', 'demo_arm', 1),
  ('mode', 'auto', 'demo_arm', 1),
  ('enabled', 'yes', 'demo_arm', 1),
  ('arm.yaml', 'joints: 6\npayload_kg: 3\n', '', 2),
  ('camera.ini', '[camera]\nfps=30\n', '', 2);
