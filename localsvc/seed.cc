#include "localsvc/seed.h"

#include "localsvc/duck.h"

namespace nv_localsvc {

namespace {

// A small shop: customers, products and orders across a few schemas, with keys, views,
// comments and one column of every common type.
constexpr const char* kDemoSql = R"sql(
CREATE SCHEMA sales;
CREATE SCHEMA inventory;
CREATE SCHEMA analytics;

CREATE TABLE sales.customers (
  customer_id INTEGER PRIMARY KEY,
  email VARCHAR NOT NULL UNIQUE,
  full_name VARCHAR NOT NULL,
  country CHAR(2),
  signup_date DATE,
  is_active BOOLEAN DEFAULT true,
  credit_limit DECIMAL(12, 2),
  tags VARCHAR[],
  preferred_contact_time TIME,
  external_ref UUID
);
COMMENT ON TABLE sales.customers IS 'People and companies that buy from the shop';
COMMENT ON COLUMN sales.customers.email IS 'Login and contact address';

CREATE TABLE inventory.products (
  product_id BIGINT PRIMARY KEY,
  sku VARCHAR(32) NOT NULL UNIQUE,
  name VARCHAR NOT NULL,
  unit_price DECIMAL(10, 2) NOT NULL,
  weight_kg REAL,
  rating DOUBLE,
  stock SMALLINT,
  category TINYINT,
  thumbnail BLOB,
  dimensions STRUCT(width_cm DOUBLE, height_cm DOUBLE, depth_cm DOUBLE),
  added_at TIMESTAMP
);
COMMENT ON TABLE inventory.products IS 'Catalogue of things for sale';

CREATE TABLE sales.orders (
  order_id BIGINT PRIMARY KEY,
  customer_id INTEGER NOT NULL REFERENCES sales.customers (customer_id),
  ordered_at TIMESTAMP WITH TIME ZONE NOT NULL,
  shipped_at TIMESTAMP,
  status VARCHAR NOT NULL,
  total DECIMAL(14, 2),
  note VARCHAR
);

CREATE TABLE sales.order_items (
  order_id BIGINT NOT NULL REFERENCES sales.orders (order_id),
  line_no INTEGER NOT NULL,
  product_id BIGINT NOT NULL,
  quantity INTEGER NOT NULL,
  unit_price DECIMAL(10, 2) NOT NULL,
  discount DOUBLE DEFAULT 0,
  PRIMARY KEY (order_id, line_no)
);

CREATE TABLE inventory.stock_movements (
  movement_id INTEGER PRIMARY KEY,
  product_id BIGINT NOT NULL REFERENCES inventory.products (product_id),
  moved_at TIMESTAMP NOT NULL,
  delta INTEGER NOT NULL,
  reason VARCHAR
);

INSERT INTO sales.customers VALUES
  (1, 'ada@example.test', 'Ada Lovelace', 'GB', DATE '2021-03-14', true, 5000.00, ['vip', 'early'],
   TIME '09:30:00', '2f1c8e0a-5b7d-4c1e-9a3f-0d6b2e4a8c11'),
  (2, 'grace@example.test', 'Grace Hopper', 'US', DATE '2021-07-01', true, 12000.50, ['vip'],
   TIME '14:15:30', '7a9e3b12-0c4d-4f8a-b2e6-91d5c3a7f024'),
  (3, 'alan@example.test', 'Alan Turing', 'GB', DATE '2022-01-20', false, NULL, [], NULL, NULL),
  (4, 'edsger@example.test', 'Edsger Dijkstra', 'NL', DATE '2022-11-05', true, 750.25, NULL,
   TIME '08:00:00', NULL),
  (5, 'barbara@example.test', 'Barbara Liskov', 'US', NULL, true, 3000.00, ['b2b'], NULL,
   'c4d2a6e8-1f3b-4a5c-8d7e-6b9f0a1c2e3d');

INSERT INTO inventory.products VALUES
  (100, 'KB-001', 'Mechanical keyboard', 89.90, 1.1, 4.6, 120, 1, '\x4B\x42'::BLOB,
   {'width_cm': 44.0, 'height_cm': 4.0, 'depth_cm': 14.0}, TIMESTAMP '2023-01-02 09:30:00'),
  (101, 'MS-002', 'Wireless mouse', 24.50, 0.09, 4.2, 340, 1, NULL,
   {'width_cm': 6.0, 'height_cm': 3.5, 'depth_cm': 11.0}, TIMESTAMP '2023-01-05 14:00:00'),
  (102, 'MN-027', 'Monitor 27 inch', 279.00, 5.8, 4.8, 35, 2, '\x4D\x4E'::BLOB,
   {'width_cm': 61.0, 'height_cm': 46.0, 'depth_cm': 20.0}, TIMESTAMP '2023-02-11 08:15:30'),
  (103, 'CB-USB', 'USB-C cable', 9.99, 0.05, 3.9, 1000, 3, NULL, NULL,
   TIMESTAMP '2023-03-01 00:00:00');

INSERT INTO sales.orders VALUES
  (5001, 1, TIMESTAMPTZ '2024-01-10 10:00:00+00', TIMESTAMP '2024-01-11 16:20:00',
   'shipped', 114.40, NULL),
  (5002, 2, TIMESTAMPTZ '2024-01-12 18:45:10+01', NULL, 'open', 279.00, 'gift wrap'),
  (5003, 1, TIMESTAMPTZ '2024-02-01 07:05:00-05', TIMESTAMP '2024-02-03 09:00:00',
   'shipped', 19.98, NULL),
  (5004, 4, TIMESTAMPTZ '2024-02-14 12:00:00+00', NULL, 'cancelled', 0.00, 'customer request');

INSERT INTO sales.order_items VALUES
  (5001, 1, 100, 1, 89.90, 0),
  (5001, 2, 101, 1, 24.50, 0),
  (5002, 1, 102, 1, 279.00, 0),
  (5003, 1, 103, 2, 9.99, 0),
  (5004, 1, 101, 1, 24.50, 0.1);

INSERT INTO inventory.stock_movements VALUES
  (1, 100, TIMESTAMP '2023-01-02 10:00:00', 120, 'initial stock'),
  (2, 101, TIMESTAMP '2023-01-05 15:00:00', 350, 'initial stock'),
  (3, 101, TIMESTAMP '2024-01-11 16:00:00', -1, 'order 5001'),
  (4, 103, TIMESTAMP '2024-02-03 08:30:00', -2, 'order 5003');

CREATE VIEW sales.open_orders AS
  SELECT order_id, customer_id, ordered_at, total FROM sales.orders WHERE status = 'open';
CREATE VIEW analytics.revenue_by_customer AS
  SELECT c.customer_id, c.full_name, SUM(o.total) AS revenue, COUNT(*) AS orders
  FROM sales.customers c JOIN sales.orders o USING (customer_id)
  WHERE o.status <> 'cancelled' GROUP BY ALL;
COMMENT ON VIEW analytics.revenue_by_customer IS 'Revenue per customer, cancelled orders excluded';
)sql";

}  // namespace

arrow::Status seed_demo(duckdb_database db) {
  DuckConn conn(db);
  if (!conn.ok()) return arrow::Status::IOError("cannot open a DuckDB connection");
  // A database file seeded by an earlier run keeps its data.
  ARROW_ASSIGN_OR_RAISE(auto present,
                        query_batch(conn.get(), "SELECT 1 FROM duckdb_schemas() "
                                                "WHERE schema_name = 'sales'"));
  if (present->num_rows() > 0) return arrow::Status::OK();
  return conn.exec(kDemoSql);
}

}  // namespace nv_localsvc
